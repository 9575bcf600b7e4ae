#!/usr/bin/env bash
# helix-sim as the card of a real pcscd (vpcd reader driver), reached through real pcsc-lite.
#
# usage: pcscd_vpcd.sh BIN_DIR     (the directory holding helix-sim and pcsc_probe)
#
# Everything runs in a private mount and network namespace: pcscd's socket directory is a
# private directory bind-mounted over /run/pcscd (on a private /run), and vpcd's port lives on a
# private loopback. A pcscd already running on the machine is neither seen nor disturbed, and
# nothing outside can reach the simulated card. Needs root (namespaces, mounts), no systemd.
# Exit status: 0 when every check passed, 77 when the machine cannot run the test, 1 otherwise.
set -euo pipefail

readonly driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
readonly reader="Virtual PCD 00 00"
readonly wait_seconds=15

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

skip() {
    echo "SKIP: $*" >&2
    exit 77
}

# Globals: the exit traps read them after the functions that set them have returned.
pcscd_pid=""
sim_pid=""
child=""
work=""

# The part inside the namespaces: pcscd and helix-sim, then the probes.
inside() {
    local bin=$1 work=$2

    stop() {
        local pid=$1
        [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    }
    cleanup() {
        stop "$sim_pid"
        stop "$pcscd_pid"
    }
    trap cleanup EXIT
    trap 'exit 143' TERM INT

    start_pcscd() {
        pcscd --foreground -c "$work/reader.conf.d" >>"$work/pcscd.log" 2>&1 &
        pcscd_pid=$!
    }
    # Until pcscd sees the card; fails at once when either process is gone.
    await_card() {
        local started=$EPOCHREALTIME i
        for ((i = 0; i < wait_seconds * 10; i++)); do
            kill -0 "$sim_pid" 2>/dev/null || fail "helix-sim is gone"
            kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd is gone"
            if "$bin/pcsc_probe" wait "$reader" 0 >/dev/null; then
                echo "ok: card present after $(awk "BEGIN { printf \"%.2f\", $EPOCHREALTIME - $started }") s"
                return 0
            fi
            sleep 0.1
        done
        fail "no card in \"$reader\" after $wait_seconds s"
    }
    # Until pcscd has seen the card go (it polls about every 400 ms).
    await_absence() {
        local i
        for ((i = 0; i < wait_seconds * 10; i++)); do
            "$bin/pcsc_probe" absent "$reader" && return 0
            sleep 0.1
        done
        fail "the card is still in \"$reader\" after $wait_seconds s"
    }

    ip link set lo up
    mount -t tmpfs -o mode=0755 helix-run /run
    mkdir /run/pcscd
    mount --bind "$work/run" /run/pcscd
    export PCSCLITE_CSOCK_NAME=$work/run/pcscd.comm

    local atr
    atr=$("$bin/helix-sim" --print-atr) || fail "helix-sim --print-atr"

    start_pcscd
    "$bin/helix-sim" --verbose --card-image "$work/card.img" 2>"$work/helix-sim.log" &
    sim_pid=$!

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
    "$bin/helix-sim" --verbose --card-image "$work/card.img" --fault remove-after:3 2>>"$work/helix-sim.log" &
    sim_pid=$!
    await_card
    "$bin/pcsc_probe" removal "$reader" || fail "removal"
}

main() {
    [[ $# -ge 1 ]] || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
    local bin
    bin=$(cd "$1" && pwd)
    [[ $(id -u) -eq 0 ]] || skip "needs root for namespaces and mounts"
    command -v pcscd >/dev/null || skip "pcscd is not installed"
    command -v unshare >/dev/null || skip "unshare is not installed"
    [[ -e $driver ]] || skip "the vpcd driver is not installed ($driver)"
    [[ -x $bin/helix-sim ]] || fail "no helix-sim in $bin"
    [[ -x $bin/pcsc_probe ]] || fail "no pcsc_probe in $bin"

    work=$(mktemp -d /tmp/helix-pcscd.XXXXXX)
    cleanup_outer() {
        if [[ -n $child ]] && kill -0 "$child" 2>/dev/null; then
            kill -TERM "$child" 2>/dev/null || true
            wait "$child" 2>/dev/null || true
        fi
        if [[ ${HELIX_KEEP_WORK:-0} == 1 ]]; then
            echo "work directory kept: $work"
        else
            rm -rf "$work"
        fi
    }
    trap cleanup_outer EXIT
    trap 'exit 143' TERM INT

    mkdir "$work/run" "$work/reader.conf.d"
    cat >"$work/reader.conf.d/vpcd" <<EOF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:0x8C7B
LIBPATH      $driver
CHANNELID    0x8C7B
EOF

    local started=$EPOCHREALTIME rc=0
    unshare --mount --propagation private --net -- bash "$0" --inside "$bin" "$work" &
    child=$!
    wait "$child" || rc=$?
    child=""
    if [[ $rc -ne 0 ]]; then
        for log in pcscd.log helix-sim.log; do
            [[ -s $work/$log ]] && { echo "---- $log (last lines)"; tail -n 40 "$work/$log"; }
        done
        exit "$rc"
    fi
    echo "system test took $(awk "BEGIN { printf \"%.2f\", $EPOCHREALTIME - $started }") s"
}

if [[ ${1:-} == --inside ]]; then
    shift
    inside "$@"
else
    main "$@"
fi
