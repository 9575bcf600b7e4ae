#!/usr/bin/env python3
"""Turns a module log (TQ_MD_LOG) of a real exchange into an input of the card_answers target:
the plan (a length byte and the target's number of each call logged after CardAcquireContext)
and the card's answers from the first CardAcquireContext on, each a length byte and the bytes
(FF and a two-byte length for answers of 255 bytes or more).

    log_to_answers.py LOG OUTPUT [--calls N]

--calls keeps the first N calls and their answers (a smaller seed).

The call numbers are those of Session::Run in card_answers_fuzz.cpp; a call the target does not
make is left out of the plan, its answers going to the call after it.
"""
import argparse
import re
import sys

CALL = re.compile(r">: (Card[A-Za-z]+)\(([^)]*)\)")
PROPERTIES = {"Card Identifier": 20, "Card Serial Number": 21, "PIN Information": 22, "Free Space": 23,
              "Read Only Mode": 24, "PIN List": 25, "PIN Strength Verify": 44}
FIXED = {"CardQueryCapabilities": 2, "CardQueryFreeSpace": 3, "CardEnumFiles": 13, "CardGetFileInfo": 15,
         "CardAuthenticatePin": 26, "CardRSADecrypt": 29, "CardConstructDHAgreement": 30, "CardDeriveKey": 31,
         "CardDestroyDHAgreement": 32, "CardDeauthenticate": 33, "CardAuthenticateEx": 34,
         "CardCreateContainer": 37, "CardDeleteContainer": 38, "CardGetChallengeEx": 39, "CardDeleteFile": 40,
         "CardCreateFile": 41}
ANSWER = re.compile(r"^RAPDU:\s+\((\d+) bytes\):\s*((?:[0-9a-fA-F]{2}\s*)*)$")


def argument(arguments, name):
    match = re.search(name + r": ([^,]*)", arguments)
    return match.group(1).strip() if match else ""


def number(name, arguments):
    """The target's number for a logged call, or None."""
    if name in FIXED:
        return FIXED[name]
    if name == "CardQueryKeySizes":
        return 3 + int(argument(arguments, "dwKeySpec") or 1)
    if name == "CardGetContainerInfo":
        return 16 if argument(arguments, "bContainerIndex") == "0" else 17
    if name == "CardGetProperty":
        return PROPERTIES.get(argument(arguments, "wszProperty"), 20)
    if name == "CardSignData":
        return 28 if argument(arguments, "dwPaddingType") == "0" else 27
    file = argument(arguments, "pszFileName")
    if name == "CardReadFile":
        reads = {"cardid": 0, "cardcf": 1, "cmapfile": 12, "msroots": 14}
        return reads.get(file, 18 if file.startswith("kxc") else 19)
    if name == "CardWriteFile":
        writes = {"cardcf": 35, "cmapfile": 36, "cardid": 43}
        return writes.get(file, 42)
    return None


def exchange(lines, calls):
    started = False
    plan = []
    out = []
    for line in lines:
        call = CALL.search(line)
        if call:
            # The acquire entry is logged twice (the call and the context it makes).
            if call.group(1) == "CardAcquireContext":
                started = True
            elif started and number(call.group(1), call.group(2)) is not None:
                if len(plan) == calls:
                    break
                plan.append(number(call.group(1), call.group(2)))
            continue
        match = ANSWER.match(line.strip())
        if not match or not started:
            continue
        data = bytes.fromhex(match.group(2))
        if len(data) != int(match.group(1)):
            sys.exit("answer length does not match its bytes: " + line.strip())
        out.append(data)
    return plan[:255], out


def encode(plan, items):
    out = bytearray([len(plan)] + plan)
    for data in items:
        if len(data) < 0xFF:
            out.append(len(data))
        else:
            out += bytes([0xFF, len(data) >> 8, len(data) & 0xFF])
        out += data
    return bytes(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("log")
    parser.add_argument("output")
    parser.add_argument("--calls", type=int, default=255)
    args = parser.parse_args()
    with open(args.log, encoding="utf-8", errors="replace") as f:
        plan, items = exchange(f, args.calls)
    with open(args.output, "wb") as f:
        f.write(encode(plan, items))
    print(f"{args.output}: {len(plan)} calls, {len(items)} answers")


if __name__ == "__main__":
    main()
