"""Installs and removes the module under Wine, through the .reg files and through the INF, and
compares what the registry and the system folders hold with the module's ATR table.

Usage: registration_check.py WINE SOURCE_DIR BUILD_DIR (WINEPREFIX set by the caller)."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

CSP = "Microsoft Base Smart Card Crypto Provider"
KSP = "Microsoft Smart Card Key Storage Provider"
VIEWS = {
    "native": r"HKLM\SOFTWARE\Microsoft\Cryptography\Calais\SmartCards",
    "WOW64": r"HKLM\SOFTWARE\WOW6432Node\Microsoft\Cryptography\Calais\SmartCards",
}

wine, source, build = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])
prefix = Path(os.environ["WINEPREFIX"])
failures = []


def table():
    """The cards as the module's own table lists them."""
    entry = re.compile(r'^HELIX_ATR\("([^"]+)", "([0-9A-F]+)", "([0-9A-F]+)"\)$')
    cards = {}
    for line in (source / "src/card/recognised_atrs.inc").read_text().splitlines():
        if line.startswith("HELIX_ATR"):
            name, atr, mask = entry.match(line).groups()
            cards[name] = {"ATR": atr, "ATRMask": mask, "Crypto Provider": CSP,
                           "Smart Card Key Storage Provider": KSP, "80000001": "helixmd.dll"}
    return cards


def run(*args):
    subprocess.run([wine, *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=120)


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def registered(view):
    """Every card key under one registry view, with its values."""
    result = subprocess.run([wine, "reg", "query", VIEWS[view], "/s"], capture_output=True,
                            text=True, timeout=120)
    cards, current = {}, None
    for line in result.stdout.splitlines():
        if line.startswith("HKEY_LOCAL_MACHINE"):
            current = line.rsplit("\\", 1)[1]
            cards[current] = {}
        elif current and line.startswith("    "):
            # "    NAME    REG_TYPE    DATA"; names hold single spaces only.
            fields = re.split(r" {4}", line.strip(), maxsplit=2)
            cards[current][fields[0]] = fields[2] if len(fields) == 3 else ""
    return {name: values for name, values in cards.items() if values}


def expect_registered(how, cards):
    for view in VIEWS:
        found = registered(view)
        if found != cards:
            failures.append(f"after {how}, the {view} view holds {found}, not {cards}")


def expect_files(how, files):
    for folder, want in files.items():
        path = prefix / "drive_c/windows" / folder / "helixmd.dll"
        got = path.read_bytes() if path.exists() else None
        if got != want:
            failures.append(f"after {how}, {folder}\\helixmd.dll is "
                            f"{'missing' if got is None else f'{len(got)} bytes'}, not "
                            f"{'missing' if want is None else f'{len(want)} bytes'}")


def main():
    packaging = build / "packaging"
    cards = table()
    stage = build / "wine-install"
    shutil.rmtree(stage, ignore_errors=True)
    stage.mkdir()
    shutil.copy(packaging / "helixmd.inf", stage)
    # The real builds when there are, stand-ins otherwise: what is checked is where they go.
    dlls = {}
    for bits, preset in (("64", "mingw-x64"), ("32", "mingw-x86")):
        built = source / "build" / preset / "bin/helixmd.dll"
        dlls[bits] = built.read_bytes() if built.exists() else f"stand-in helixmd{bits}.dll".encode()
        (stage / f"helixmd{bits}.dll").write_bytes(dlls[bits])
    inf = windows_path(stage / "helixmd.inf")

    run("regedit", "/S", windows_path(packaging / "helixmd-uninstall.reg"))
    expect_registered("a clean start", {})

    run("regedit", "/S", windows_path(packaging / "helixmd.reg"))
    expect_registered("importing helixmd.reg", cards)
    run("regedit", "/S", windows_path(packaging / "helixmd-uninstall.reg"))
    expect_registered("importing helixmd-uninstall.reg", {})

    run("rundll32", "setupapi.dll,InstallHinfSection", "DefaultInstall", "128", inf)
    expect_registered("installing helixmd.inf", cards)
    expect_files("installing helixmd.inf", {"system32": dlls["64"], "syswow64": dlls["32"]})
    run("rundll32", "setupapi.dll,InstallHinfSection", "DefaultUninstall", "128", inf)
    expect_registered("uninstalling helixmd.inf", {})
    expect_files("uninstalling helixmd.inf", {"system32": None, "syswow64": None})

    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    if not failures:
        print(f"{len(cards)} cards registered in both views by helixmd.reg and helixmd.inf, and removed again")
    return 1 if failures else 0


sys.exit(main())
