#!/usr/bin/env python3
"""Seeds of the targets that parse the card's and the host's data, taken from module logs
(TQ_MD_LOG) of real exchanges with the simulator, and the card_answers seeds from the same logs.

    make_seeds.py OUTDIR SCINFO_LOG SEEDED_SCINFO_LOG [NAME=LOG[:CALLS] ...]

SCINFO_LOG: `mdhost scinfo` of a blank card; SEEDED_SCINFO_LOG: `mdhost scinfo` of a card that
`mdhost seed` gave containers and certificates. Each NAME=LOG becomes card_answers/NAME (the
first CALLS calls only, when given). The ticket and the key blobs are made here in the formats
the host passes them; the KDF lists are those of the agreement tests.
"""
import base64
import hashlib
import os
import re
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import log_to_answers  # noqa: E402

ENTRY = re.compile(r"^(CAPDU[A-Za-z_0-9]*|RAPDU):\s+\(\d+ bytes\):\s*((?:[0-9a-fA-F]{2}\s*)*)$")


def exchanges(path):
    """(command, answer) pairs of a log, in order."""
    pairs, command = [], None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            match = ENTRY.match(line.strip())
            if not match:
                continue
            data = bytes.fromhex(match.group(2))
            if match.group(1).startswith("CAPDU"):
                command = data
            elif command is not None:
                pairs.append((command, data))
                command = None
    return pairs


def file_reads(pairs):
    """{file identifier: bytes read} for each file selected by path and then read."""
    files, current = {}, None
    for command, answer in pairs:
        if command[1] == 0xA4 and command[2] == 0x08:
            current = command[-3:-1].hex()
            files[current] = b""  # the last selection's reads
        elif command[1] == 0xB0 and current is not None and answer[-2:] == b"\x90\x00":
            files[current] += answer[:-2]
    return files


def entries(record):
    """{tag: value} of a card object: 7-byte header, tagged entries with FF filler."""
    out, at = {}, 7
    end = struct.unpack(">H", record[4:6])[0]
    while at < end:
        if record[at] == 0xFF:
            at += 1
            continue
        tag, length = struct.unpack(">H", record[at:at + 2])[0], struct.unpack(">H", record[at + 3:at + 5])[0]
        out.setdefault(tag, record[at + 5:at + 5 + length])
        at += 5 + length
    return out


def derive_key24(data):
    s = hashlib.md5(b"\x00" + data).digest() + hashlib.md5(b"\x01" + data).digest()
    bits = [(s[i // 8] >> (i % 8)) & 1 for i in range(24 * 7)]
    return bytes(sum(bits[7 * j + i] << i for i in range(7)) for j in range(24))


def ticket(kind=0x23, value=b"\xb1" * 20, identity="12345678"):
    record = struct.pack("<I", kind) + value + identity.ljust(16, "\0").encode("utf-16-le")
    record = record.ljust(129, b"\0")
    checked = b"\x01\x81" + record
    return base64.b64encode(derive_key24(checked) + checked)


def write(outdir, target, name, data):
    os.makedirs(os.path.join(outdir, target), exist_ok=True)
    with open(os.path.join(outdir, target, name), "wb") as f:
        f.write(data)


def kdf_list(kdf, flags, buffers):
    out = bytes([kdf, flags])
    for kind, value in buffers:
        out += bytes([kind, len(value)]) + value
    return out


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    outdir, blank, seeded = sys.argv[1:4]
    blank_files = file_reads(exchanges(blank))
    seeded_pairs = exchanges(seeded)
    seeded_files = file_reads(seeded_pairs)

    # TLV: the file control parameters and key information the card answers with.
    answers = [a[:-2] for c, a in seeded_pairs if a[:1] in (b"\x62", b"\x7f") and a[-2:] == b"\x90\x00"]
    for i, answer in enumerate(dict.fromkeys(answers).keys()):
        if i == 4:
            break
        write(outdir, "tlv", f"answer{i}", answer)

    # The container map: blank, and holding the seeded records (merged with its own first record).
    write(outdir, "container_map", "blank", b"\x00" + blank_files["867f"])
    seeded_map = seeded_files["867f"]
    write(outdir, "container_map", "seeded", b"\x01" + seeded_map[12:12 + 86] + seeded_map)

    # Certificate objects: the certificate and container name of the first one on the card.
    for fid, content in sorted(seeded_files.items()):
        if fid.startswith("84") and content:
            parts = entries(content)
            name = parts[0x0003]
            write(outdir, "cert_object", "seeded", bytes([int(fid[2:], 16), len(name)]) + name + parts[0x0011])
            break

    # Tickets and session PINs.
    write(outdir, "base64_ticket", "ticket", ticket())
    write(outdir, "base64_ticket", "session-pin",
          b"\x00\x90\x14" + b"\xb1" * 20 + b"\x00\x80\x10" + b"12345678".ljust(16, b"\0"))

    # Key blobs: a 1024-bit PRIVATEKEYBLOB and a P-256 BCRYPT_ECCPRIVATE_BLOB, key bytes counting up.
    rsa = bytes.fromhex("0702000000a40000") + b"RSA2" + struct.pack("<II", 1024, 65537)
    write(outdir, "key_blobs", "rsa1024", b"\x00\x05" + rsa + bytes(i & 0xFF for i in range(576)))
    write(outdir, "key_blobs", "p256", b"\x02\x00" + b"ECS2" + struct.pack("<I", 32) + bytes(range(96)))

    # KDF lists: KDF 0 HASH, 1 HMAC, 2 SP800_56A_CONCAT; buffer types as BCrypt numbers them.
    sha256 = "SHA256\0".encode("utf-16-le")
    write(outdir, "kdf_parameters", "hash", kdf_list(0, 0, [(0, sha256), (1, b"ab"), (2, b"ef"), (1, b"cd")]))
    write(outdir, "kdf_parameters", "hmac", kdf_list(1, 0, [(3, b"key"), (1, b"p"), (2, b"a")]))
    write(outdir, "kdf_parameters", "concat",
          kdf_list(2, 0, [(12, b"priv"), (10, b"V"), (0, "SHA1\0".encode("utf-16-le")), (18, struct.pack("<I", 363)),
                          (11, b"pub"), (9, b"U"), (8, b"AES")]))

    # The card's answers of each scenario.
    for arg in sys.argv[4:]:
        name, _, source = arg.partition("=")
        path, _, calls = source.partition(":")
        with open(path, encoding="utf-8", errors="replace") as f:
            plan, items = log_to_answers.exchange(f, int(calls) if calls else 255)
        write(outdir, "card_answers", name, log_to_answers.encode(plan, items))


if __name__ == "__main__":
    main()
