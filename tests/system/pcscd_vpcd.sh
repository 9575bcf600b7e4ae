#!/usr/bin/env bash
# helix-sim as the card of a real pcscd (vpcd reader driver), reached through real pcsc-lite.
#
# usage: pcscd_vpcd.sh BIN_DIR     (the directory holding helix-sim and pcsc_probe)
#
# Everything runs in a private mount and network namespace (lib.sh): a pcscd already running on
# the machine is neither seen nor disturbed, and nothing outside can reach the simulated card.
# Needs root (namespaces, mounts), no systemd.
# Exit status: 0 when every check passed, 77 when the machine cannot run the test, 1 otherwise.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# The part inside the namespaces: pcscd and helix-sim, then the probes.
inside() {
    local bin=$1 work=$2
    enter_namespaces

    local atr
    atr=$("$bin/helix-sim" --print-atr) || fail "helix-sim --print-atr"

    start_pcscd
    start_sim --card-image "$work/card.img"

    await_card
    "$bin/pcsc_probe" scenario "$reader" "$atr" || fail "scenario"

    # pcscd goes away and comes back: the card follows it.
    stop "$pcscd_pid"
    pcscd_pid=""
    kill -0 "$sim_pid" 2>/dev/null || fail "helix-sim exited when pcscd stopped"
    start_pcscd
    await_card
    "$bin/pcsc_probe" select "$reader" || fail "selection after pcscd restarted"

    local rc=0
    kill -TERM "$sim_pid"
    wait "$sim_pid" || rc=$?
    sim_pid=""
    [[ $rc -eq 0 ]] || fail "helix-sim ended with status $rc on SIGTERM"
    [[ -s $work/card.img ]] || fail "no card image written"
    echo "ok: helix-sim stopped cleanly and left its card image"
    await_absence

    # The same card, loaded from its image, leaves the reader after its third command.
    start_sim --card-image "$work/card.img" --fault remove-after:3
    await_card
    "$bin/pcsc_probe" removal "$reader" || fail "removal"
}

main() {
    [[ $# -ge 1 ]] || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
    local bin
    bin=$(cd "$1" && pwd)
    require_system_environment "$bin"
    make_work_directory
    run_inside_namespaces "$0" "$bin"
}

if [[ ${1:-} == --inside ]]; then
    shift
    inside "$@"
else
    main "$@"
fi
