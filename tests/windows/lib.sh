# Sourced by the windows tier. What a script needs but this machine lacks (a cross build not made,
# a tool not installed) skips the script with ctest's skip code instead of failing it.

skip() {
    echo "SKIP: $*"
    exit 77
}

# Every named file, or a skip naming the first one missing.
require_files() {
    local file
    for file in "$@"; do
        [ -f "$file" ] || skip "$file is missing (build the mingw presets first)"
    done
}

# Every named command, or a skip naming the first one missing.
require_commands() {
    local command
    for command in "$@"; do
        command -v "$command" >/dev/null 2>&1 || skip "$command is not installed (scripts/setup installs it)"
    done
}

# Wine's 64-bit loader (Debian keeps it off PATH), or a skip.
find_wine() {
    local candidate
    for candidate in "${HELIX_WINE:-}" /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] && { WINE=$candidate; return; }
    done
    skip "wine64 is not installed (scripts/setup installs it)"
}

# A private, headless Wine prefix under the build directory, made once (the first wineboot costs
# seconds) and shared by the scripts of one run; a lock keeps two scripts from making it together.
use_wine() {
    local build=$1
    find_wine
    export WINEPREFIX=$build/wine-prefix WINEDEBUG=-all WINEARCH=win64 DISPLAY=
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            echo "making the Wine prefix $WINEPREFIX"
            # No 32-bit Wine here: its complaint about syswow64\rundll32.exe is expected.
            "$WINE" wineboot -i >"$build/wine-prefix.log" 2>&1 || true
            "$(dirname "$WINE")/wineserver" -w 2>/dev/null || true
        fi
        [ -f "$WINEPREFIX/system.reg" ] || { echo "wineboot made no prefix; see $build/wine-prefix.log" >&2; exit 1; }
    ) 9>"$build/wine-prefix.lock"
}
