#!/usr/bin/env bash
# Shared by the system tests: fail, skip and mdhost_steps for all; the rest for those that run
# helix-sim as the card of a private pcscd (vpcd reader driver), reached through real pcsc-lite.
# Sourced, never run.
#
# A test script calls, from its main: require_system_environment BIN, make_work_directory,
# run_inside_namespaces SCRIPT BIN; run_inside_namespaces starts "SCRIPT --inside BIN WORK" in a
# private mount and network namespace, where the script's `inside` calls enter_namespaces and then
# start_pcscd, start_sim, await_card, await_absence and stop as it needs them.
#
# Inside the namespaces pcscd's socket directory is a private directory bind-mounted over
# /run/pcscd (on a private /run), and vpcd's port lives on a private loopback: a pcscd already
# running on the machine is neither seen nor disturbed, and nothing outside can reach the
# simulated card. Needs root (namespaces, mounts), no systemd.
# Exit status of a test: 0 when every check passed, 77 when the machine cannot run it, 1 otherwise.

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    echo "lib.sh holds what the system tests share; it has nothing to run on its own" >&2
    exit 77
fi

readonly driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
readonly reader="Virtual PCD 00 00"
readonly wait_seconds=15
system_tests=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly system_tests

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

skip() {
    echo "SKIP: $*" >&2
    exit 77
}

# mdhost_steps NAME ARGS...: "$mdhost" ARGS --json into $work/NAME.json, every step as expected.
mdhost_steps() {
    local name=$1
    shift
    "$mdhost" "$@" --json >"$work/$name.json" || fail "mdhost $* (status $?): $(cat "$work/$name.json")"
    python3 "$system_tests/mdhost_checks.py" steps "$work/$name.json" || fail "mdhost $*"
}

# Globals: the exit traps read them after the functions that set them have returned.
pcscd_pid=""
sim_pid=""
child=""
work=""

# ---- outside the namespaces

# Skips when the machine cannot run the test; fails when the build left out what it needs.
# Further arguments name more programs that BIN must hold.
require_system_environment() {
    local bin=$1 program
    shift
    [[ $(id -u) -eq 0 ]] || skip "needs root for namespaces and mounts"
    command -v pcscd >/dev/null || skip "pcscd is not installed"
    command -v unshare >/dev/null || skip "unshare is not installed"
    [[ -e $driver ]] || skip "the vpcd driver is not installed ($driver)"
    for program in helix-sim pcsc_probe "$@"; do
        [[ -x $bin/$program ]] || fail "no $program in $bin"
    done
}

# A fresh work directory with pcscd's configuration, removed at exit (kept with HELIX_KEEP_WORK=1).
make_work_directory() {
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
    cat >"$work/reader.conf.d/vpcd" <<CONF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:0x8C7B
LIBPATH      $driver
CHANNELID    0x8C7B
CONF
}

# Runs "SCRIPT --inside BIN WORK" in the namespaces; on failure shows the daemons' last words.
run_inside_namespaces() {
    local script=$1 bin=$2
    local started=$EPOCHREALTIME rc=0 log
    unshare --mount --propagation private --net -- bash "$script" --inside "$bin" "$work" &
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

# ---- inside the namespaces (the caller's `bin` and `work` are in scope)

stop() {
    local pid=$1
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# The private loopback and socket directory; pcscd and helix-sim go when the script ends.
enter_namespaces() {
    cleanup() {
        stop "$sim_pid"
        stop "$pcscd_pid"
    }
    trap cleanup EXIT
    trap 'exit 143' TERM INT

    ip link set lo up
    mount -t tmpfs -o mode=0755 helix-run /run
    mkdir /run/pcscd
    mount --bind "$work/run" /run/pcscd
    export PCSCLITE_CSOCK_NAME=$work/run/pcscd.comm
}

start_pcscd() {
    pcscd --foreground -c "$work/reader.conf.d" >>"$work/pcscd.log" 2>&1 &
    pcscd_pid=$!
}

# helix-sim with the given options, its diagnostics appended to helix-sim.log.
start_sim() {
    "$bin/helix-sim" --verbose "$@" 2>>"$work/helix-sim.log" &
    sim_pid=$!
}

# Until pcscd sees the card; fails at once when either process is gone.
await_card() {
    local started=$EPOCHREALTIME i
    for ((i = 0; i < wait_seconds * 10; i++)); do
        kill -0 "$sim_pid" 2>/dev/null || fail "helix-sim is gone"
        kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd is gone"
        if "$bin/pcsc_probe" present "$reader"; then
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
