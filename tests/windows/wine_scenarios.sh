#!/usr/bin/env bash
# mdhost.exe drives the real x64 helixmd.dll under wine64, through the test winscard.dll, with
# helix-sim as the card; each scenario's log is held against the Linux run of the same scenario.
# Arguments: the source directory and the (Linux) build directory, whose helix-sim and mdhost
# the test uses. The Windows files come from build/mingw-x64 (HELIX_WINDOWS_BIN names another).
set -euo pipefail

src=${1:?usage: wine_scenarios.sh SOURCE_DIR BUILD_DIR}
build=${2:?usage: wine_scenarios.sh SOURCE_DIR BUILD_DIR}
windows_bin=${HELIX_WINDOWS_BIN:-$src/build/mingw-x64/bin}

. "$(dirname "$0")/lib.sh"
require_commands python3 flock
require_files "$windows_bin/mdhost.exe" "$windows_bin/helixmd.dll" "$windows_bin/winscard.dll" \
    "$windows_bin/LibTqAuth.dll" "$build/bin/helix-sim" "$build/bin/mdhost"
use_wine "$build"

exec python3 "$(dirname "$0")/wine_scenarios.py" "$WINE" "$build/bin" "$windows_bin" "$build/wine-scenarios"
