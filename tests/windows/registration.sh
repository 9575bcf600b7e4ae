#!/usr/bin/env bash
# The installation files the build writes from the module's ATR table, used as an administrator
# would under wine64: the .reg imported and removed with regedit, the INF installed and
# uninstalled with setupapi. Arguments: the source directory and the build directory.
set -euo pipefail

src=${1:?usage: registration.sh SOURCE_DIR BUILD_DIR}
build=${2:?usage: registration.sh SOURCE_DIR BUILD_DIR}

. "$(dirname "$0")/lib.sh"
require_commands python3 flock
require_files "$build/packaging/helixmd.inf" "$build/packaging/helixmd.reg" "$build/packaging/helixmd-uninstall.reg"
use_wine "$build"

exec python3 "$(dirname "$0")/registration_check.py" "$WINE" "$src" "$build"
