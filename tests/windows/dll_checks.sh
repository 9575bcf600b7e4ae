#!/usr/bin/env bash
# The shipped modules as a loader sees them: helixmd.dll for x86 (PE32) and x64 (PE32+) export
# CardAcquireContext alone, import only system DLLs (no compiler runtime, no libgcrypt DLL) and
# carry a version resource; libhelixmd.so exports CardAcquireContext alone. The tests' stand-in
# LibTqAuth.dll exports its two functions under their plain names (GetProcAddress asks for
# those, also for the 32-bit build's stdcall functions) and needs no runtime DLL either.
# Argument: the source directory. The DLLs come from build/mingw-x86 and build/mingw-x64 there;
# HELIX_DLL_X86, HELIX_DLL_X64 and HELIX_SO name other files.
# Without either DLL or the mingw-w64 binutils it skips (exit 77).
set -euo pipefail

src=${1:?usage: dll_checks.sh SOURCE_DIR}
dll_x86=${HELIX_DLL_X86:-$src/build/mingw-x86/bin/helixmd.dll}
dll_x64=${HELIX_DLL_X64:-$src/build/mingw-x64/bin/helixmd.dll}
# ctest runs this from <build>/tests; the library of that build is in <build>/lib.
so=${HELIX_SO:-$PWD/../lib/libhelixmd.so}

. "$(dirname "$0")/lib.sh"
require_commands i686-w64-mingw32-objdump i686-w64-mingw32-windres i686-w64-mingw32-nm \
    x86_64-w64-mingw32-objdump x86_64-w64-mingw32-windres nm
require_files "$dll_x86" "$dll_x64"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Windows and the C runtime mingw-w64 links against; nothing a user would have to install.
allowed_imports='^(kernel32|advapi32|user32|winscard|bcrypt|ole32|ws2_32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'

version=$(sed -n 's/^project(helixmd VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")

check_dll() {
    local dll=$1 triple=$2 format=$3 magic=$4
    local objdump=$triple-objdump windres=$triple-windres
    echo "== $dll"

    # Captured first: grep -q would close a pipe under the still-writing objdump.
    local summary headers exports imports
    summary=$("$objdump" -f "$dll")
    headers=$("$objdump" -p "$dll")
    grep -q "file format $format\$" <<<"$summary" || fail "$dll is not $format"
    grep -Eq "^Magic[[:space:]]+[0-9a-f]+[[:space:]]+[(]$magic[)]\$" <<<"$headers" || fail "$dll is not $magic"
    # The name table lists one "[ n] Name" line per exported name.
    exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\(.*\)$/\1/p')
    echo "exports: $(echo $exports)"
    [ "$exports" = "CardAcquireContext" ] || fail "$dll exports [$(echo $exports)], not CardAcquireContext alone"

    imports=$(sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' <<<"$headers")
    echo "imports: $(echo $imports)"
    [ -n "$imports" ] || fail "$dll shows no imports"
    local name
    for name in $imports; do
        if ! grep -Eqi "$allowed_imports" <<<"$name"; then
            fail "$dll imports $name, which is not a system DLL"
        fi
    done

    local resources
    resources=$("$windres" -i "$dll" -O rc 2>/dev/null || true)
    grep -q "VERSIONINFO" <<<"$resources" || fail "$dll has no version resource"
    grep -q "VALUE \"FileDescription\", \"Helix smart card minidriver\"" <<<"$resources" ||
        fail "$dll has no file description"
    grep -q "VALUE \"FileVersion\", \"$version.0\"" <<<"$resources" ||
        fail "$dll file version is not $version.0"
    grep -q "VALUE \"ProductVersion\", \"$version.0\"" <<<"$resources" ||
        fail "$dll product version is not $version.0"
}

# The exported names of a DLL, one per line.
exported_names() {
    "$1-objdump" -p "$2" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\(.*\)$/\1/p'
}

check_auth_stand_in() {
    local dll=$1 triple=$2
    if [ ! -f "$dll" ]; then
        fail "$dll is missing"
        return
    fi
    echo "== $dll"
    local exports imports name
    exports=$(exported_names "$triple" "$dll" | sort)
    echo "exports: $(echo $exports)"
    [ "$(echo $exports)" = "tqauth_Auth tqauth_GetTicketSize" ] ||
        fail "$dll exports [$(echo $exports)], not tqauth_Auth and tqauth_GetTicketSize"
    imports=$("$triple-objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p')
    for name in $imports; do
        grep -Eqi "$allowed_imports" <<<"$name" || fail "$dll imports $name, which is not a system DLL"
    done
}

check_so() {
    if [ ! -f "$so" ]; then
        fail "$so is missing"
        return
    fi
    echo "== $so"
    local exports
    exports=$(nm -D --defined-only "$so" | awk '{print $NF}')
    echo "exports: $(echo $exports)"
    [ "$exports" = "CardAcquireContext" ] || fail "$so exports [$(echo $exports)], not CardAcquireContext alone"
}

# On x86 the host calls every function of the table as __stdcall, which the compiler marks by
# ending the symbol with @ and the size of the arguments; a __cdecl function would not have it.
check_stdcall_table() {
    local library=$1 symbols entry count=0
    if [ ! -f "$library" ]; then
        fail "$library is missing"
        return
    fi
    echo "== $library"
    symbols=$(i686-w64-mingw32-nm --defined-only "$library" 2>/dev/null | awk '$2 ~ /^[tT]$/ {print $3}')
    grep -qx '_CardAcquireContext@8' <<<"$symbols" || fail "CardAcquireContext is not __stdcall"
    for entry in $(sed -n 's/^ *cardData[.]pfn[A-Za-z]* = \([A-Za-z]*\);$/\1/p' "$src/src/entry/wrappers.cpp" | sort -u); do
        count=$((count + 1))
        grep -Eq "^__ZN5entry12_GLOBAL__N_1${#entry}${entry}E.*@[0-9]+\$" <<<"$symbols" ||
            fail "the table's $entry is not __stdcall in the x86 build"
    done
    [ "$count" -ge 40 ] || fail "found only $count table entries in wrappers.cpp"
    echo "table entries __stdcall: $count"
}

check_dll "$dll_x86" i686-w64-mingw32 pei-i386 PE32
check_stdcall_table "$(dirname "$dll_x86")/../lib/libhelixmd_core.a"
check_dll "$dll_x64" x86_64-w64-mingw32 pei-x86-64 "PE32[+]"
check_auth_stand_in "$(dirname "$dll_x86")/LibTqAuth.dll" i686-w64-mingw32
check_auth_stand_in "$(dirname "$dll_x64")/LibTqAuth.dll" x86_64-w64-mingw32
check_so

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"
