#!/usr/bin/env bash
# Two processes contend for one card through a real pcscd: mdhost's logon again and again (a
# user write, a wrong PIN, a deauthentication each time) while another mdhost reads the card
# with scinfo over one context. Both must succeed on every run, and the card must end as seeded,
# its PIN tries full.
#
# usage: pcsc_contention.sh BIN_DIR   (helix-sim, pcsc_probe and mdhost; the modules in BIN_DIR/../lib)
# Exit status: 0 when every check passed, 77 when the machine cannot run the
# test, 1 otherwise.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"

readonly rounds=10

logons() {
    local bin=$1 work=$2 module=$1/../lib/libhelixmd.so i
    for ((i = 1; i <= rounds; i++)); do
        "$bin/mdhost" logon --reader "$reader" --module "$module" --json >"$work/logon$i.json" ||
            { echo "logon round $i (status $?): $(cat "$work/logon$i.json")" >&2; return 1; }
        python3 "$here/mdhost_checks.py" steps "$work/logon$i.json" >"$work/logon$i.checks" ||
            { cat "$work/logon$i.checks" >&2; return 1; }
    done
}

inside() {
    local bin=$1 work=$2
    local module=$bin/../lib/libhelixmd.so
    enter_namespaces
    start_pcscd
    start_sim --card-image "$work/card.img"
    await_card

    local started=$EPOCHREALTIME logon_pid rc=0
    logons "$bin" "$work" &
    logon_pid=$!
    "$bin/mdhost" scinfo --reader "$reader" --module "$module" --runs "$((4 * rounds))" --json \
        >"$work/scinfo.json" || rc=$?
    wait "$logon_pid" || fail "a logon failed while scinfo read the card"
    [[ $rc -eq 0 ]] || fail "scinfo failed while logon used the card (status $rc): $(cat "$work/scinfo.json")"
    python3 - "$work/scinfo.json" "$rounds" <<'PY' || fail "scinfo while logon used the card"
import json, sys
info = json.load(open(sys.argv[1]))
runs = info["summary"]["runs"]
assert len(runs) == 4 * int(sys.argv[2]) and not info["summary"]["failures"], info["summary"]
PY
    echo "ok: $rounds logons and $((4 * rounds)) scinfo runs side by side in" \
        "$(awk "BEGIN { printf \"%.2f\", $EPOCHREALTIME - $started }") s"

    # The card as it was seeded, the user's PIN with its tries full.
    "$bin/mdhost" scinfo --reader "$reader" --module "$module" --runs 2 --json >"$work/after.json" ||
        fail "scinfo afterwards: $(cat "$work/after.json")"
    python3 "$here/mdhost_checks.py" scinfo "$work/seed.json" "$work/after.json" >"$work/after.checks" ||
        { cat "$work/after.checks"; fail "the card afterwards"; }
    "$bin/mdhost" logon --reader "$reader" --module "$module" >"$work/last.txt" ||
        fail "logon afterwards: $(cat "$work/last.txt")"
    grep -q "a wrong PIN .*4 attempts remaining" "$work/last.txt" ||
        fail "the PIN's tries are not full: $(cat "$work/last.txt")"
    echo "ok: the card is as seeded and its PIN tries are full"
}

main() {
    [[ $# -ge 1 ]] || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
    local bin
    bin=$(cd "$1" && pwd)
    require_system_environment "$bin" mdhost
    command -v python3 >/dev/null || skip "python3 is not installed"
    make_work_directory
    "$bin/mdhost" seed --card-image "$work/card.img" --json >"$work/seed.json" || fail "mdhost seed"
    run_inside_namespaces "$0" "$bin"
}

if [[ ${1:-} == --inside ]]; then
    shift
    inside "$@"
else
    main "$@"
fi
