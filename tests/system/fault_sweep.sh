#!/usr/bin/env bash
# A card fault at every command of mdhost's scinfo, logon, enroll and sign on the embedded card
# (fault_sweep.py), two mdhost processes at a time.
#
# usage: fault_sweep.sh BIN_DIR [SCENARIO ...]   (mdhost; libhelixmd-sim.so in BIN_DIR/../lib)
# Needs neither root nor pcscd. Exit status: 0 when every check passed, 77 when the machine
# cannot run the test, 1 otherwise.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

[[ $# -ge 1 ]] || { echo "usage: $0 BIN_DIR [SCENARIO ...]" >&2; exit 2; }
bin=$(cd "$1" && pwd)
shift
[[ -x $bin/mdhost ]] || { echo "FAIL: no mdhost in $bin" >&2; exit 1; }
[[ -e $bin/../lib/libhelixmd-sim.so ]] || { echo "FAIL: no libhelixmd-sim.so in $bin/../lib" >&2; exit 1; }
command -v python3 >/dev/null || { echo "SKIP: python3 is not installed" >&2; exit 77; }
work=$(mktemp -d /tmp/helix-sweep.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 "$here/fault_sweep.py" "$bin" "$work" "$@"
