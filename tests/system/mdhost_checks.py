#!/usr/bin/env python3
"""Checks of mdhost's JSON output for the system tests.

    mdhost_checks.py seed SEED_JSON MODULE_LOG [EARLIER_SEED_JSON]
        `mdhost seed` wrote every file through the module's entry points, in the order the
        Windows stack enrols, after authenticating the user (the module's log shows the calls);
        the cache file's counters moved on by two containers and four files from zero, or from
        the seed of the same card before
    mdhost_checks.py scinfo SEED_JSON SCINFO_JSON [--card-counts]
        the card seeded by `mdhost seed` as `mdhost scinfo --runs 2` shows it through the module;
        with --card-counts the card's own command count must equal the module's log count
    mdhost_checks.py reset RESET_JSON EXPECTED_CODE
        with the user logged on, a write fails with EXPECTED_CODE after another application reset
        the card, the host's own SCardStatus answers SCARD_W_RESET_CARD, and the write works after
        the host reconnects without a new logon
    mdhost_checks.py steps STEPS_JSON
        every step of `mdhost logon`, `mdhost properties` or `mdhost pin` answered as the scenario
        expects
    mdhost_checks.py fault SCINFO_JSON COMMAND EXPECTED_CODE
        `mdhost scinfo --fault remove-before:COMMAND`: after CardAcquireContext the card received
        COMMAND commands and no more; the call that sent the last and the later ones that needed
        the card failed with EXPECTED_CODE, those before it succeeded; nothing leaked

Prints a line per check and the APDU figures; exits 1 when a check failed.
"""
import json
import re
import sys

SUCCESS = "0x00000000"
UNSUPPORTED = "0x80100022"
RESET_CARD = "0x80100068"
failures = 0


def check(ok, what):
    global failures
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures += 1


def load(path):
    with open(path, encoding="ascii") as f:
        return json.load(f)


def check_host(summary):
    allocations = summary["allocations"]
    check(allocations["unfreed"] == 0 and allocations["bad_frees"] == 0,
          "every block the module allocated was freed once (%d allocations, %d left, %d bad frees)"
          % (allocations["total"], allocations["unfreed"], allocations["bad_frees"]))
    check(summary["delete_context"] == SUCCESS, "CardDeleteContext succeeds")


def figures(name, run):
    return "%s: %d APDUs, %d bytes (%d sent, %d received)" % (
        name, run["apdus"], run["bytes"], run["bytes_sent"], run["bytes_received"])


def check_scinfo(seed, info, card_counts):
    check(info["acquire_context"] == SUCCESS, "CardAcquireContext succeeds")
    cardid = info["cardid"]
    check(cardid["status"] == SUCCESS and cardid["size"] == 16 and len(cardid["hex"]) == 32,
          "cardid holds 16 bytes: " + cardid["hex"])
    cardcf = info["cardcf"]
    check(cardcf["status"] == SUCCESS and cardcf["hex"] == seed["cardcf"],
          "cardcf holds the seeded counters: " + cardcf["hex"])
    capabilities = info["capabilities"]
    check(capabilities["status"] == SUCCESS and capabilities["version"] == 1
          and capabilities["certificate_compression"] and capabilities["key_generation"],
          "capabilities: version 1, certificate compression, key generation")
    space = info["free_space"]
    check(space["status"] == SUCCESS and space["bytes_available"] > 0
          and space["containers_available"] == len(seed["containers"]) and space["max_containers"] == 30,
          "free space: %d bytes, %d of %d containers" % (
              space["bytes_available"], space["containers_available"], space["max_containers"]))
    sizes = {k["key_spec"]: k for k in info["key_sizes"]}
    check(sorted(sizes) == list(range(1, 9)) and all(k["status"] == SUCCESS for k in sizes.values()),
          "key sizes for key specs 1 to 8")
    check((sizes[1]["minimum"], sizes[1]["default"], sizes[1]["maximum"]) == (1024, 2048, 4096),
          "RSA key sizes 1024 to 4096, default 2048")

    containers = info["containers"]["list"]
    check(info["containers"]["status"] == SUCCESS
          and [c["name"] for c in containers] == [c["name"] for c in seed["containers"]],
          "cmapfile names the seeded containers in order")
    check(all(c["info_status"] in (SUCCESS, UNSUPPORTED) for c in containers),
          "CardGetContainerInfo answers success or not-supported-yet for each container")
    certificates = {c["file"]: c for c in info["certificates"]}
    for seeded in seed["containers"]:
        got = certificates.get(seeded["certificate_file"], {})
        check(got.get("status") == SUCCESS and got.get("sha1") == seeded["sha1"]
              and got.get("subject") == seeded["subject"],
              "%s reads back as the seeded certificate (SHA-1 %s)" % (seeded["certificate_file"], seeded["sha1"]))
    check(sorted(info["files"]["mscp"]) == sorted(["cmapfile", "msroots"] + list(certificates)),
          "mscp lists cmapfile, msroots and the certificates: " + " ".join(info["files"]["mscp"]))
    roots = info["msroots"]
    check(roots["present"] and roots["size"] == seed["msroots_size"] and roots["certificates"] == 1,
          "msroots holds the seeded root store (%d bytes)" % roots["size"])
    check(info["summary"]["failures"] == [], "no call failed")
    check_host(info["summary"])

    runs = info["summary"]["runs"]
    check(len(runs) == 2, "two runs over one context")
    if len(runs) == 2:
        check(runs[1]["apdus"] < runs[0]["apdus"], "the second run is served partly from the module's cache")
    if card_counts:
        for number, run in enumerate([info["summary"]["acquire"]] + runs):
            check(run["card_commands"] == run["apdus"],
                  "part %d: the card received the %d commands the module logged" % (number, run["apdus"]))
    print(figures("CardAcquireContext", info["summary"]["acquire"]))
    for number, run in enumerate(runs, 1):
        print(figures("scinfo run %d" % number, run))


# The calls that change the card, in order: a card seeded afresh, and one seeded again, where
# the old certificate objects go first (a torn one would stop the module reading its container's
# key), and the root store is made again to its size.
SEED_CALLS = {
    "fresh": ["AuthenticatePin user", "WriteFile mscp/cmapfile",
              "CreateFile mscp/kxc00", "WriteFile mscp/kxc00", "CreateFile mscp/ksc01", "WriteFile mscp/ksc01",
              "CreateFile mscp/msroots", "WriteFile mscp/msroots", "WriteFile /cardcf"],
    "again": ["AuthenticatePin user", "DeleteFile mscp/kxc00", "DeleteFile mscp/ksc01", "WriteFile mscp/cmapfile",
              "CreateFile mscp/kxc00", "WriteFile mscp/kxc00", "CreateFile mscp/ksc01", "WriteFile mscp/ksc01",
              "DeleteFile mscp/msroots", "CreateFile mscp/msroots", "WriteFile mscp/msroots", "WriteFile /cardcf"],
}
CALL = re.compile(r">: Card(AuthenticatePin)\(pwszUserId: (\w+)\)"
                  r"|>: Card(CreateFile|WriteFile|DeleteFile)\(pszDirectoryName: (\w*), pszFileName: (\w+)")


def module_calls(log_path):
    calls = []
    with open(log_path, encoding="latin-1") as log:
        for line in log:
            m = CALL.search(line)
            if m and m.group(1):
                calls.append("%s %s" % (m.group(1), m.group(2)))
            elif m:
                calls.append("%s %s/%s" % (m.group(3), m.group(4), m.group(5)))
    return calls


def counters(cardcf_hex):
    record = bytes.fromhex(cardcf_hex)
    return int.from_bytes(record[2:4], "little"), int.from_bytes(record[4:6], "little")


def check_seed(seed, log_path, earlier):
    check(seed["acquire_context"] == SUCCESS, "CardAcquireContext succeeds")
    expected = SEED_CALLS["again" if earlier else "fresh"]
    calls = module_calls(log_path)
    check(calls == expected, "the module saw the writes in order: " + ", ".join(calls))
    before = counters(earlier["cardcf"]) if earlier else (0, 0)
    check(counters(seed["cardcf"]) == (before[0] + 2, before[1] + 4),
          "cardcf counters %s moved on from %s by two containers and four files" % (counters(seed["cardcf"]), before))
    check_host(seed["summary"])
    print(figures("CardAcquireContext", seed["summary"]["acquire"]))
    print(figures("seed", seed["summary"]["runs"][0]))


def check_reset(report, expected):
    check(report["acquire_context"] == SUCCESS, "CardAcquireContext succeeds")
    check(report["before"] == SUCCESS, "CardReadFile cardid works before the reset")
    check(report["logon"] == SUCCESS, "the user logs on")
    check(report["reset"] == SUCCESS, "another application resets the card")
    check(report["after_reset"] == expected,
          "CardWriteFile cardid after the reset answers %s (got %s)" % (expected, report["after_reset"]))
    check(report["host_sees"] == RESET_CARD, "the host's SCardStatus answers SCARD_W_RESET_CARD")
    check(report["reconnect"] == SUCCESS, "the host reconnects")
    check(report["after_reconnect"] == SUCCESS,
          "CardWriteFile cardid works again after the reconnection, the cached PIN presented to the card")
    check_host(report["summary"])
    print(figures("reset", report["summary"]["runs"][0]))


def check_steps(report):
    check(report["acquire_context"] == SUCCESS, "CardAcquireContext succeeds")
    for step in report["steps"]:
        check(step["status"] == step["expected"] and step["agreed"],
              "%s answers %s (expected %s) %s" % (step["call"], step["status"], step["expected"], step["shown"]))
    check(report["as_expected"], "the %s scenario behaved" % report["command"])
    check_host(report["summary"])
    run = report["summary"]["runs"][0]
    measured = [step for step in report["steps"] if "apdus" in step]
    if measured:
        for key in ("apdus", "bytes_sent", "bytes_received"):
            check(sum(step[key] for step in measured) == run[key],
                  "the steps' %s add up to the run's (%d)" % (key, run[key]))
    for step in measured:
        print("  %3d APDUs %5d bytes  %s" % (
            step["apdus"], step["bytes_sent"] + step["bytes_received"], step["call"]))
    print(figures(report["command"], run))


def check_fault(info, command, expected):
    summary = info["summary"]
    check_host(summary)
    check(info["acquire_context"] == SUCCESS and summary["acquire"]["card_commands"] > 0,
          "CardAcquireContext succeeds before the fault")
    received = [run["card_commands"] for run in summary["runs"]]
    check(received == [command], "the card received %d commands after CardAcquireContext: %s"
          % (command, received))
    calls = summary["failures"]
    check(info["cardid"]["status"] == SUCCESS, "the card identifier, read before, is there")
    check(len(calls) > 0 and all(c["status"] == expected for c in calls),
          "every call from %s on answers %s: %s"
          % (calls[0]["call"] if calls else "none", expected, [c["call"] for c in calls]))


def main(args):
    if len(args) in (3, 4) and args[0] == "seed":
        check_seed(load(args[1]), args[2], load(args[3]) if len(args) == 4 else None)
    elif len(args) >= 3 and args[0] == "scinfo":
        check_scinfo(load(args[1]), load(args[2]), "--card-counts" in args[3:])
    elif len(args) == 3 and args[0] == "reset":
        check_reset(load(args[1]), args[2])
    elif len(args) == 4 and args[0] == "fault":
        check_fault(load(args[1]), int(args[2]), args[3])
    elif len(args) == 2 and args[0] == "steps":
        check_steps(load(args[1]))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
