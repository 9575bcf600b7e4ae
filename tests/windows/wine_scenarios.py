"""The real x64 helixmd.dll driven by mdhost.exe under wine64, through the test winscard.dll whose
card is helix-sim, scenario by scenario; each run's log, written through a Windows path, is held
line by line against the Linux run of the same scenario on a copy of the same card.

Usage: wine_scenarios.py WINE LINUX_BIN WINDOWS_BIN WORK_DIR (WINEPREFIX set by the caller)."""

import os
import re
import shutil
import socket
import subprocess
import sys
from pathlib import Path

wine, linux_bin, windows_bin, work = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3]), Path(sys.argv[4])
prefix = Path(os.environ["WINEPREFIX"])
READER = "Helix Test Reader 0"
PIN = "12345678"

# Scenario, the profile of its card (None: the seeded default card), its arguments, and how its
# logs are compared: line by line, or (where the card's fresh keys and certificates change the
# length of what is written) by the calls made and the exceptions they logged.
SCENARIOS = [
    ("scinfo", None, [], "lines"),
    ("logon", None, [], "lines"),
    ("properties", None, [], "lines"),
    ("reset", None, [], "lines"),
    ("session", "bio-23", [], "lines"),
    ("pin", None, [], "lines"),
    ("sign", None, [], "lines"),
    ("decrypt", None, [], "lines"),
    ("ecdh", None, [], "calls"),  # enrolls an agreement key first when the card has none
    ("delete", None, [], "lines"),
    ("enroll", None, ["--key", "rsa2048,p256"], "calls"),
    ("enroll", None, ["--import", "--key", "rsa1024,p384"], "calls"),
]

TIME_LINE = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ")
CALLER = re.compile(r"^<(ProcName: (\S+) )?P:\d+; T:\d+: hSCardCtx:0x[0-9A-F]{8}; hScard:0x[0-9A-F]{8}>")
APDU = re.compile(r"^(CAPDU|RAPDU):  \((\d+) bytes\): ((?:[0-9a-f]{2} )*)$")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def normalised(log, process_name, failures, where):
    """The log's lines without time lines, with the caller's ids made alike; the process-name line
    must name `process_name`."""
    lines = []
    if f"<ProcName: {process_name} " not in log:
        failures.append(f"{where}: no process-name line names {process_name}")
    for line in log.splitlines():
        if TIME_LINE.match(line) or not line:
            continue
        caller = CALLER.match(line)
        if caller:
            if caller.group(2) is not None and caller.group(2) != process_name:
                failures.append(f"{where}: the process is named {caller.group(2)}, not {process_name}")
            line = "<" + ("ProcName: * " if caller.group(1) else "") + "caller>" + line[caller.end():]
        lines.append(line)
    return lines


def apdu_shape(line):
    """What two runs of one scenario share in a command or answer even where the card's random
    numbers make the bytes differ: direction, length, a command's header, an answer's status."""
    match = APDU.match(line)
    if not match:
        return None
    data = match.group(3).split()
    return (match.group(1), match.group(2), tuple(data[:4]) if match.group(1) == "CAPDU" else tuple(data[-2:]))


def compare(linux, linux_again, windows, scenario, failures):
    """Exactly equal lines, except lines that differ between two Linux runs too (the card's random
    numbers, new container names): those must agree in shape."""
    if len(linux) != len(windows) or len(linux) != len(linux_again):
        failures.append(f"{scenario}: {len(windows)} log lines under Wine, {len(linux)} and "
                        f"{len(linux_again)} on Linux")
    for number, (ours, again, theirs) in enumerate(zip(linux, linux_again, windows), 1):
        if ours == theirs:
            continue
        if ours != again and apdu_shape(ours) is not None and apdu_shape(ours) == apdu_shape(theirs):
            continue
        # Other lines that change from run to run (a container's random name in a dump of the
        # map): the same length.
        if ours != again and apdu_shape(ours) is None and len(ours) == len(theirs):
            continue
        failures.append(f"{scenario}: log line {number} differs\n  Linux: {ours}\n  Wine:  {theirs}")
        return


def calls(lines):
    """The entry points called, in order, with the exceptions they logged."""
    made = []
    for line in lines:
        if line.startswith("<caller>: ") or line.startswith("<ProcName: * caller>: "):
            made.append(line.split(">: ", 1)[1].split("(", 1)[0])
        elif line.startswith("Exception:"):
            made.append(line)
    return made


def run_linux(scenario, profile, args, card, log):
    env = dict(os.environ, TQ_MD_LOG=str(log))
    command = [str(linux_bin / "mdhost"), scenario, "--card-image", str(card), "--pin", PIN, *args]
    if profile:
        command += ["--profile", profile]
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)


def run_windows(scenario, profile, args, card, log_name, port):
    sim = [str(linux_bin / "helix-sim"), "--once", "--port", str(port), "--card-image", str(card)]
    if profile:
        sim += ["--profile", profile]
    card_process = subprocess.Popen(sim, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    env = dict(os.environ, TQ_MD_LOG="C:\\helix-tests\\" + log_name, HELIX_VPCD_PORT=str(port),
               HELIX_READER_NAME=READER, WINEDLLOVERRIDES="winscard=n")
    command = [wine, str(work / "mdhost.exe"), scenario, "--reader", READER, "--pin", PIN,
               "--module", windows_path(work / "helixmd.dll"),
               "--auth-library", windows_path(work / "auth/LibTqAuth.dll"), *args]
    try:
        result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120, cwd=work)
    finally:
        try:
            card_process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            card_process.kill()
            card_process.wait()
    return result


def main():
    shutil.rmtree(work, ignore_errors=True)
    (work / "auth").mkdir(parents=True)
    for name in ("mdhost.exe", "helixmd.dll", "winscard.dll"):
        shutil.copy(windows_bin / name, work)
    # Away from mdhost.exe, so that the module's own LoadLibrary finds it only once mdhost has
    # loaded it (the session scenario's "library missing" step).
    shutil.copy(windows_bin / "LibTqAuth.dll", work / "auth")
    logs = prefix / "drive_c/helix-tests"
    shutil.rmtree(logs, ignore_errors=True)
    logs.mkdir(parents=True)

    seeded = work / "seeded.img"
    seed = subprocess.run([str(linux_bin / "mdhost"), "seed", "--card-image", str(seeded), "--pin", PIN],
                          capture_output=True, text=True, timeout=300)
    if seed.returncode != 0:
        print(f"FAIL: seeding the card on Linux: {seed.stdout}{seed.stderr}", file=sys.stderr)
        return 1

    failures = []
    for number, (scenario, profile, args, mode) in enumerate(SCENARIOS):
        runs = {}
        name = f"{number:02}-{scenario}"
        for run in ("linux", "linux-again", "windows"):
            card = work / f"{name}-{run}.img"
            if profile is None:
                shutil.copy(seeded, card)
            if run == "windows":
                result = run_windows(scenario, profile, args, card, f"{name}.log", free_port())
                log = logs / f"{name}.log"
            else:
                log = work / f"{name}-{run}.log"
                result = run_linux(scenario, profile, args, card, log)
            if result.returncode != 0:
                failures.append(f"{scenario} {' '.join(args)} ({run}) ended with {result.returncode}:\n"
                                f"{result.stdout}{result.stderr}")
            runs[run] = log.read_text(errors="replace") if log.exists() else ""
        before = len(failures)
        linux = normalised(runs["linux"], "mdhost", failures, f"{scenario} (Linux)")
        again = normalised(runs["linux-again"], "mdhost", failures, f"{scenario} (Linux)")
        windows = normalised(runs["windows"], "mdhost.exe", failures, f"{scenario} (Wine)")
        label = " ".join([scenario, *args])
        if mode == "lines":
            compare(linux, again, windows, label, failures)
        elif calls(linux) != calls(windows):
            failures.append(f"{label}: the calls differ\n  Linux: {calls(linux)}\n  Wine:  {calls(windows)}")
        print(f"{label}: {'as on Linux' if len(failures) == before else 'DIFFERS'} ({mode}), "
              f"{len(windows)} log lines, {sum(1 for l in windows if l.startswith('CAPDU'))} commands")

    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if failures else 0


sys.exit(main())
