#!/usr/bin/env python3
"""A card fault at every command of mdhost's scenarios on the embedded card.

    fault_sweep.py BIN_DIR WORK_DIR [SCENARIO ...]

Each scenario runs once cleanly on a copy of a prepared card, its commands read from the module's
log. Then, on a fresh copy for each, every command meets each fault kind: mdhost must end with 0
or 1, within the time limit, with no sanitizer report, no leak, and every call it reports as
failed must carry a status (none may succeed with a result OpenSSL refuses). The same scenario
then runs cleanly on the card the fault left: it succeeds, or fails with one of the damages in
DAMAGE at a command listed there. A damage elsewhere, or of another kind, fails the sweep.

Exit status 0 when every run behaved, 1 otherwise.
"""
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import time

SCENARIOS = {
    "scinfo": ["scinfo"],
    "logon": ["logon"],
    "enroll": ["enroll", "--key", "p256"],
    "sign": ["sign"],
}
# The card each starts from: seeded with two RSA 2048 containers, certificates and a root store;
# for sign, one RSA 1024 and one P-256 container (both kinds of signature at half the commands).
CARDS = {"scinfo": "seeded", "logon": "seeded", "enroll": "seeded", "sign": "keys"}
PREPARE = {"seeded": ["seed"], "keys": ["enroll", "--key", "rsa1024,p256"]}

SUCCESS = "0x00000000"
UNEXPECTED = "0x8010001F"
FILE_NOT_FOUND = "0x80100024"
NO_KEY_CONTAINER = "0x80100030"

# The scenarios that write to the card; after them scinfo reads every container and certificate.
WRITERS = ("enroll", "logon")

# The commands (counted from 1 after CardAcquireContext) at which a fault may leave each damage:
# the order of the module's writes allows these and no more. The enrollment adds container 2 to
# a card seeded with two; the commands of its writes are in README.md.
DAMAGE = {
    "scinfo": {},
    "logon": {},
    "sign": {},
    "enroll": {
        "map gone": [(55, 57)],  # the map's rewrite deleted it and has not created it again
        "map blank": [(57, 59)],  # created, not yet written: the seeded containers unlisted
        "certificate unreadable": [(72, 84), (86, 88)],  # ksc02 created, not yet written
        "certificate torn": [(88, 89)],
    },
}


def damages(scenario, again, card, seeded_names):
    """The damages a clean run of the scenario and scinfo see on a card a fault left."""
    found = set()
    calls = failed_calls(again) if again else []
    if card:
        calls += [(c["call"], c["status"]) for c in card["summary"]["failures"]]
        names = [c["name"] for c in card["containers"]["list"]]
        if card["containers"]["status"] == SUCCESS and not set(seeded_names) <= set(names):
            found.add("map blank")
        if any(c["status"] == SUCCESS and not c["subject"] for c in card["certificates"]):
            found.add("certificate torn")  # its first bytes written, read back without complaint
    for call, status in calls:
        if status == FILE_NOT_FOUND and "cmapfile" in call:
            found.add("map gone")
        elif status == NO_KEY_CONTAINER and "GetContainerInfo" in call:
            found.add("certificate unreadable")
        elif status == UNEXPECTED and re.match(r"CardReadFile\(mscp/k[sx]c", call):
            found.add("certificate unreadable")
        elif scenario == "enroll" and call.startswith("CardGetContainerInfo 0") and status == SUCCESS:
            # a blank map sends the next enrollment into slot 0, over the old container's key
            found.add("map blank")
        else:
            found.add("%s answers %s" % (call, status))
    return found


# The fault kinds. A reset or removal after a command that leaves the card's memory as it was
# (a selection, a read, a signature) is the same to card and module as one before the next
# command: after-kinds only follow commands that change the card, and the last. Tear only where
# the card tears differently from a reset after the command: UPDATE BINARY and CREATE FILE.
KINDS = ["sw:{n}:6F00", "reset-before:{n}", "remove-before:{n}", "reset-after:{n}", "remove-after:{n}",
         "tear:{n}:{half}"]
TEARABLE = (0xD6, 0xE0)
# SELECT, READ BINARY, LIST, GET CHALLENGE, the verified list, GET RESPONSE, PSO, LOGOUT, EXTERNAL
# AUTHENTICATE and the secure channel change nothing a reset keeps.
KEEPS_MEMORY = (0xA4, 0xB0, 0x30, 0x84, 0xCE, 0xC0, 0x2A, 0x28, 0x82, 0x86)


def changes_card(apdu):
    if apdu[1] == 0xCB:  # GET DATA, but the key commands under it
        return apdu[0] & 0x80 != 0 and apdu[2] == 0x01 and apdu[3] in (0x80, 0x88)
    return apdu[1] not in KEEPS_MEMORY


TIMEOUT = 30
SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:")


class Sweep:
    def __init__(self, bin_dir, work):
        self.mdhost = os.path.join(bin_dir, "mdhost")
        self.work = work
        self.seeded_names = []

    def card(self, scenario):
        return os.path.join(self.work, CARDS[scenario] + ".img")

    def run(self, args, image, log=None):
        env = dict(os.environ)
        env.pop("TQ_MD_LOG", None)
        if log:
            env["TQ_MD_LOG"] = log
        try:
            done = subprocess.run([self.mdhost] + args + ["--card-image", image, "--json"], env=env,
                                  capture_output=True, text=True, timeout=TIMEOUT, check=False)
        except subprocess.TimeoutExpired:
            return None, "no answer within %d s" % TIMEOUT, None
        report = None
        try:
            report = json.loads(done.stdout)
        except ValueError:
            pass
        return done.returncode, done.stderr, report


def commands(log_path, skip):
    """The command APDUs of the module's log after the first `skip`, as bytes."""
    apdus = []
    with open(log_path, encoding="latin-1") as log:
        for line in log:
            at = line.find("CAPDU")
            if at < 0:
                continue
            hex_part = line[line.index("):", at) + 2:].split()
            apdus.append(bytes(int(h, 16) for h in hex_part))
    return apdus[skip:]


def failed_calls(report):
    """(call, status) of every call the host shows as failed, in order."""
    if "steps" in report:
        return [(s["call"], s["status"]) for s in report["steps"]
                if s["status"] != s["expected"] or not s["agreed"]]
    return [(f["call"], f["status"]) for f in report["summary"]["failures"]]


def faults(apdus):
    for n, apdu in enumerate(apdus, 1):
        for kind in KINDS:
            if kind.startswith("tear"):
                if len(apdu) < 6 or apdu[1] not in TEARABLE:
                    continue
                yield n, kind.format(n=n, half=max(1, apdu[4] // 2))
            elif "after" not in kind or changes_card(apdu) or n == len(apdus):
                yield n, kind.format(n=n)


def run_problems(rc, stderr, report, what, faulted):
    """What is wrong with one mdhost run, whatever the card did."""
    if rc is None:
        return ["%s: hangs (%s)" % (what, stderr)]
    problems = []
    if rc not in (0, 1):
        problems.append("%s: ends with %d" % (what, rc))
    if any(mark in stderr for mark in SANITIZER_MARKS):
        problems.append("%s: sanitizer report: %s" % (what, stderr[-2000:]))
    if report is None:
        return problems + ["%s: no report (stderr: %s)" % (what, stderr[-500:])]
    summary = report["summary"]
    allocations = summary["allocations"]
    if allocations["unfreed"] or allocations["bad_frees"]:
        problems.append("%s: allocations left %d, bad frees %d" % (
            what, allocations["unfreed"], allocations["bad_frees"]))
    if summary["delete_context"] != SUCCESS:
        problems.append("%s: CardDeleteContext answers %s" % (what, summary["delete_context"]))
    for step in report.get("steps", []) if faulted else []:
        if step["status"] == SUCCESS and not step["agreed"]:
            problems.append("%s: %s succeeds with a wrong result (%s)" % (what, step["call"], step["shown"]))
    if rc == 1 and not failed_calls(report):
        problems.append("%s: ends with 1 and shows no failed call" % what)
    if rc == 0 and failed_calls(report):
        problems.append("%s: ends with 0 though %s failed" % (what, failed_calls(report)))
    return problems


def in_table(scenario, damage, n):
    return any(first <= n <= last for first, last in DAMAGE[scenario].get(damage, []))


def one_fault(sweep, scenario, n, fault):
    image = os.path.join(sweep.work, "%s-%s.img" % (scenario, fault.replace(":", "-")))
    shutil.copyfile(sweep.card(scenario), image)
    what = "%s --fault %s" % (scenario, fault)
    faulted, stderr, report = sweep.run(SCENARIOS[scenario] + ["--fault", fault], image)
    problems = run_problems(faulted, stderr, report, what, True)
    found = set()
    if faulted is not None:
        again, stderr, again_report = sweep.run(SCENARIOS[scenario], image)
        problems += run_problems(again, stderr, again_report, what + ", then cleanly", False)
        card = None
        if scenario in WRITERS:
            rc, stderr, card = sweep.run(["scinfo"], image)
            problems += run_problems(rc, stderr, card, what + ", then scinfo", False)
        found = damages(scenario, again_report, card, sweep.seeded_names)
        if faulted == 0 and found:
            problems.append("%s: ends with 0, yet leaves %s" % (what, ", ".join(sorted(found))))
        problems += ["%s: then %s, not in the table at command %d" % (what, d, n)
                     for d in sorted(found) if not in_table(scenario, d, n)]
    os.remove(image)
    return n, fault, problems, found


def ranges(numbers):
    out, numbers = [], sorted(set(numbers))
    for n in numbers:
        if out and out[-1][1] == n - 1:
            out[-1][1] = n
        else:
            out.append([n, n])
    return ", ".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in out)


def main(args):
    if len(args) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    sweep = Sweep(args[0], args[1])
    chosen = args[2:] or list(SCENARIOS)
    started = time.monotonic()
    for name, args in PREPARE.items():
        rc, stderr, _ = sweep.run(args, os.path.join(sweep.work, name + ".img"))
        if rc != 0:
            print("FAIL: mdhost %s ended with %s: %s" % (" ".join(args), rc, stderr))
            return 1
    _, _, card = sweep.run(["scinfo"], os.path.join(sweep.work, "seeded.img"))
    sweep.seeded_names = [c["name"] for c in card["containers"]["list"]]

    jobs = []
    for scenario in chosen:
        image = os.path.join(sweep.work, scenario + "-clean.img")
        shutil.copyfile(sweep.card(scenario), image)
        log = os.path.join(sweep.work, scenario + ".log")
        rc, stderr, report = sweep.run(SCENARIOS[scenario], image, log)
        if rc != 0 or report is None:
            print("FAIL: %s does not run cleanly (%s): %s" % (scenario, rc, stderr))
            return 1
        apdus = commands(log, report["summary"]["acquire"]["apdus"])
        count = report["summary"]["runs"][0]["card_commands"]
        if len(apdus) != count:
            print("FAIL: %s: the module logged %d commands, the card received %d" % (scenario, len(apdus), count))
            return 1
        scenario_faults = list(faults(apdus))
        print("%s: %d commands, %d faults" % (scenario, count, len(scenario_faults)))
        jobs += [(scenario, n, fault) for n, fault in scenario_faults]

    # The embedded card lives in each mdhost process: two at a time share nothing.
    failures = 0
    damaged = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = {pool.submit(one_fault, sweep, s, n, f): s for s, n, f in jobs}
        for future in concurrent.futures.as_completed(futures):
            scenario = futures[future]
            n, fault, problems, found = future.result()
            for problem in problems:
                print("FAIL: " + problem)
            failures += len(problems)
            for damage in found:
                damaged.setdefault((scenario, damage), []).append(n)

    for (scenario, damage), positions in sorted(damaged.items()):
        print("%s: %s after a fault at commands %s" % (scenario, damage, ranges(positions)))
    print("%d faulted runs, each followed by a clean one, in %.1f s" % (len(jobs), time.monotonic() - started))
    print("FAIL: %d problems" % failures if failures else "ok: every fault answered with a status, "
          "every card left usable or damaged only as the table allows")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
