#!/usr/bin/env bash
# mdhost over the module built with an embedded card (libhelixmd-sim.so): the command line,
# seeding a card image twice through the module, `scinfo` twice over one context with the card's
# own command count against the module's log, the image kept between runs, the card pulled out
# mid-scenario (--fault) and the image after it, the reset, pin, logon and properties scenarios;
# the pin scenario again, twice over each card with a PIN policy; the session PINs on fingerprint
# cards.
#
# usage: mdhost_embedded.sh BIN_DIR   (mdhost; libhelixmd-sim.so in BIN_DIR/../lib)
# Needs neither root nor pcscd. Exit status: 0 when every check passed, 77 when the machine
# cannot run the test, 1 otherwise.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"

# A failed card transaction at the start of a call: the module's answer once the card was reset.
readonly reset_answer=0x8010001F
# ... and once the card was pulled out.
readonly removed_answer=0x8010001F
# The key scenarios that run between enrollment and deletion.
readonly key_scenarios="sign decrypt ecdh"

# Runs mdhost with the given arguments and checks its exit status.
expect_status() {
    local want=$1 rc=0
    shift
    "$mdhost" "$@" >"$work/out" 2>&1 || rc=$?
    [[ $rc -eq $want ]] || fail "mdhost $* ended with $rc, not $want: $(cat "$work/out")"
    echo "ok: mdhost $* ends with $want"
}

main() {
    [[ $# -ge 1 ]] || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
    local bin
    bin=$(cd "$1" && pwd)
    mdhost=$bin/mdhost
    [[ -x $mdhost ]] || fail "no mdhost in $bin"
    [[ -e $bin/../lib/libhelixmd-sim.so ]] || fail "no libhelixmd-sim.so in $bin/../lib"
    command -v python3 >/dev/null || skip "python3 is not installed"
    work=$(mktemp -d /tmp/helix-mdhost.XXXXXX)
    trap 'rm -rf "$work"' EXIT

    expect_status 0 --help
    expect_status 2 scinfo --runs 0
    expect_status 2 seed
    expect_status 3 scinfo --module "$work/missing.so"
    expect_status 3 scinfo --profile no-such-profile
    expect_status 2 pin --admin-key 0102
    expect_status 2 scinfo --fault pull:5
    expect_status 0 scinfo

    # Seeded, then seeded again over what is there, each time through the module.
    local round previous=()
    for round in 1 2; do
        TQ_MD_LOG=$work/seed$round.log "$mdhost" seed --card-image "$work/card.img" --json >"$work/seed$round.json" ||
            fail "mdhost seed, round $round"
        [[ -s $work/card.img ]] || fail "seed left no card image"
        python3 "$here/mdhost_checks.py" seed "$work/seed$round.json" "$work/seed$round.log" "${previous[@]}" ||
            fail "seed, round $round"
        previous=("$work/seed$round.json")
    done
    cp "$work/seed2.json" "$work/seed.json"

    "$mdhost" scinfo --card-image "$work/card.img" --runs 2 --json >"$work/scinfo.json" ||
        fail "mdhost scinfo: $(cat "$work/scinfo.json")"
    python3 "$here/mdhost_checks.py" scinfo "$work/seed.json" "$work/scinfo.json" --card-counts ||
        fail "scinfo of the seeded card"

    # Power lost while a certificate object is written: the card is left torn, and seeding repairs it.
    cp "$work/card.img" "$work/torn.img"
    expect_status 1 seed --card-image "$work/torn.img" --fault tear:112:40
    expect_status 1 scinfo --card-image "$work/torn.img"
    expect_status 0 seed --card-image "$work/torn.img"
    expect_status 0 scinfo --card-image "$work/torn.img"

    # Pulled out before the scenario's fifth command and left out; the image still serves.
    cp "$work/card.img" "$work/pulled.img"
    local rc=0
    "$mdhost" scinfo --card-image "$work/pulled.img" --fault remove-before:5 --json >"$work/pulled.json" || rc=$?
    [[ $rc -eq 1 ]] || fail "mdhost scinfo --fault remove-before:5 ended with $rc, not 1"
    python3 "$here/mdhost_checks.py" fault "$work/pulled.json" 5 "$removed_answer" || fail "scinfo, card pulled"
    "$mdhost" scinfo --card-image "$work/pulled.img" --runs 2 --json >"$work/after.json" ||
        fail "mdhost scinfo after the card was pulled: $(cat "$work/after.json")"
    python3 "$here/mdhost_checks.py" scinfo "$work/seed.json" "$work/after.json" || fail "scinfo after the card was pulled"

    "$mdhost" reset --card-image "$work/card.img" --json >"$work/reset.json" ||
        fail "mdhost reset: $(cat "$work/reset.json")"
    python3 "$here/mdhost_checks.py" reset "$work/reset.json" "$reset_answer" || fail "reset"

    # pin first: logon and properties then need the PIN it started with, and its tries full.
    local scenario
    for scenario in pin logon properties; do
        mdhost_steps "$scenario" "$scenario" --card-image "$work/card.img"
    done

    # Twice over each card: the second run needs the first to have left the card as it found it.
    local profile run
    for profile in policy pin-expired; do
        for run in 1 2; do
            mdhost_steps pin pin --profile "$profile" --card-image "$work/$profile.img"
        done
    done

    # Keys: enrolled on the card and imported, used, then one container deleted.
    mdhost_steps enroll enroll --card-image "$work/keys.img"
    mdhost_steps import enroll --import --key rsa1024,p384 --card-image "$work/keys.img"
    for scenario in $key_scenarios delete; do
        mdhost_steps "$scenario" "$scenario" --card-image "$work/keys.img"
    done

    for profile in bio-23 bio-25; do
        mdhost_steps session session --profile "$profile"
    done

    "$mdhost" scinfo --card-image "$work/card.img" >"$work/scinfo.txt" || fail "mdhost scinfo, readable form"
    grep -q "^Root store (msroots): [0-9]* bytes, 1 certificate" "$work/scinfo.txt" ||
        fail "the readable form shows no root store: $(cat "$work/scinfo.txt")"
    echo "ok: the seeded card is still there after three runs, in readable form too"
}

main "$@"
