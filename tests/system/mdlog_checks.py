#!/usr/bin/env python3
"""Checks of mdlog against a scenario of mdhost, for the system tests.

    mdlog_checks.py MDHOST_JSON MDLOG_JSON RAW_LOG REDACTED_LOG PIN...
        every command in the module's log has a name; each step of the scenario, matched in
        order to the next call of the same entry point, shows the code mdhost saw; the redacted
        log holds none of the PINs (ASCII and UTF-16 hex, spaced as the log writes bytes and
        not) and none of the data of a command that carries a secret in the raw log

Prints a line per check; exits 1 when a check failed.
"""
import json
import re
import sys

failures = 0


def check(ok, what):
    global failures
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures += 1


def steps_of(document):
    """(entry point, status) of every step object, in document order."""
    found = []

    def walk(node):
        if isinstance(node, dict):
            if "call" in node and "status" in node:
                name = re.search(r"\b((?:Card|MD)[A-Za-z]+)", node["call"])
                if name:
                    found.append((name.group(1), node["status"], node["call"]))
            for value in node.values():
                walk(value)
        elif isinstance(node, list):
            for value in node:
                walk(value)

    walk(document)
    return found


# Commands whose data is secret: VERIFY in clear or protected, the administrator's answer,
# the PIN value, and whatever goes out under secure messaging.
SECRET_COMMAND = re.compile(r"^CAPDU(?:_6C)?:  \((\d+) bytes\): ((?:[0-9a-f]{2} )+)$")


def secret_data(raw_lines):
    out = []
    for line in raw_lines:
        m = SECRET_COMMAND.match(line)
        if not m:
            continue
        b = bytes.fromhex(m.group(2))
        cla, ins = b[0], b[1]
        wrapped = cla & 0x0C == 0x0C
        if (ins in (0x20, 0x82, 0x24) or wrapped) and len(b) > 5:
            data = b[7:] if b[4] == 0 and len(b) > 7 else b[5:5 + b[4]]
            if len(data) >= 8:
                out.append(data)
    return out


def spaced(data):
    return " ".join("%02x" % x for x in data)


def main():
    if len(sys.argv) < 6:
        print(__doc__, file=sys.stderr)
        return 2
    host = json.load(open(sys.argv[1]))
    calls = json.load(open(sys.argv[2]))
    raw = open(sys.argv[3], encoding="latin-1").read().splitlines()
    redacted = open(sys.argv[4], encoding="latin-1").read()
    pins = [p.encode() for p in sys.argv[5:]]

    unnamed = [c["name"] for call in calls for c in call["commands"] if not c["known"]]
    check(not unnamed, "mdlog names every command (%d calls)%s" % (len(calls), "" if not unnamed else ": " + ", ".join(unnamed[:3])))

    steps = steps_of(host)
    cursor = 0
    matched = 0
    for name, status, text in steps:
        at = next((i for i in range(cursor, len(calls)) if calls[i]["call"] == name), None)
        if at is None:
            check(False, "a call %s in the log for the step '%s'" % (name, text))
            continue
        cursor = at + 1
        if calls[at]["status"] != status:
            check(False, "step '%s': mdlog shows %s, mdhost saw %s" % (text, calls[at]["status"], status))
        else:
            matched += 1
    check(matched == len(steps), "mdlog shows the code mdhost saw for %d of %d steps" % (matched, len(steps)))

    lowered = redacted.lower()
    for pin in pins:
        utf16 = pin.decode().encode("utf-16-le")
        for form in (spaced(pin), pin.hex(), spaced(utf16), utf16.hex()):
            check(form not in lowered, "the redacted log holds no '%s'" % form)
    secrets = secret_data(raw)
    leaked = [s for s in secrets if spaced(s) in lowered]
    check(not leaked, "the redacted log holds none of the %d secret data fields of the raw log" % len(secrets))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
