#!/usr/bin/env bash
# mdhost drives the real module (libhelixmd.so) over real pcsc-lite, a private pcscd with the vpcd
# driver, and helix-sim as the card: `scinfo` twice over one context on a card seeded with two
# containers and two certificates, then a reset of the card by another application while the user
# is logged on, which the module reports and survives once the host reconnects, the user still
# logged on; then the pin, logon and properties scenarios; then the pin scenario twice over a card
# with a PIN policy and twice over one whose PIN has expired; then the session PINs on a
# fingerprint card.
#
# usage: mdhost_scinfo.sh BIN_DIR   (helix-sim, pcsc_probe and mdhost; the modules in BIN_DIR/../lib)
# Exit status: 0 when every check passed, 77 when the machine cannot run the test, 1 otherwise.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"

# A failed card transaction at the start of a call: the module's answer once the card was reset.
readonly reset_answer=0x8010001F
# The key scenarios that run between enrollment and deletion.
readonly key_scenarios="sign decrypt ecdh"

inside() {
    local bin=$1 work=$2
    local module=$bin/../lib/libhelixmd.so
    mdhost=$bin/mdhost
    enter_namespaces
    start_pcscd
    start_sim --card-image "$work/card.img"
    await_card

    "$bin/mdhost" scinfo --reader "$reader" --module "$module" --runs 2 --json >"$work/scinfo.json" ||
        fail "mdhost scinfo (status $?): $(cat "$work/scinfo.json")"
    python3 "$here/mdhost_checks.py" scinfo "$work/seed.json" "$work/scinfo.json" || fail "scinfo"

    "$bin/mdhost" reset --reader "$reader" --module "$module" --json >"$work/reset.json" ||
        fail "mdhost reset (status $?): $(cat "$work/reset.json")"
    python3 "$here/mdhost_checks.py" reset "$work/reset.json" "$reset_answer" || fail "reset"

    # pin first: logon and properties then need the PIN it started with, and its tries full. Then
    # keys through the reader: enrolled beside the seeded ones, used, the last one deleted.
    local scenario
    for scenario in pin logon properties enroll $key_scenarios delete; do
        mdhost_steps "$scenario" "$scenario" --reader "$reader" --module "$module"
    done

    kill -0 "$sim_pid" 2>/dev/null || fail "helix-sim is gone"
    "$bin/mdhost" scinfo --reader "$reader" --module "$module" >"$work/scinfo.txt" ||
        fail "mdhost scinfo, readable form: $(cat "$work/scinfo.txt")"
    echo "ok: the readable form works too"

    # Twice over each card: the second run needs the first to have left the card as it found it.
    local profile policy run
    for profile in policy:on pin-expired:expired; do
        policy=${profile#*:}
        profile=${profile%:*}
        stop "$sim_pid"
        await_absence
        start_sim --profile "$profile"
        await_card
        for run in 1 2; do
            mdhost_steps pin pin --reader "$reader" --module "$module" --policy "$policy"
        done
    done

    # A fingerprint card for the session PINs; the outside library works beside the module.
    stop "$sim_pid"
    await_absence
    start_sim --profile bio-23
    await_card
    TQAUTH_KIND=23 mdhost_steps session session --reader "$reader" --module "$module"
}

main() {
    [[ $# -ge 1 ]] || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
    local bin
    bin=$(cd "$1" && pwd)
    require_system_environment "$bin" mdhost
    command -v python3 >/dev/null || skip "python3 is not installed"
    local module
    for module in libhelixmd.so libhelixmd-sim.so; do
        [[ -e $bin/../lib/$module ]] || fail "no $module in $bin/../lib"
    done
    make_work_directory
    # The card helix-sim will be: seeded through the module built with the embedded card.
    "$bin/mdhost" seed --card-image "$work/card.img" --json >"$work/seed.json" || fail "mdhost seed"
    echo "ok: a card image with two containers and two certificates"
    run_inside_namespaces "$0" "$bin"
}

if [[ ${1:-} == --inside ]]; then
    shift
    inside "$@"
else
    main "$@"
fi
