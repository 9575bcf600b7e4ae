#!/usr/bin/env bash
# mdlog over the logs of mdhost's scenarios on the embedded card: every command named, each
# step's code as mdhost saw it, no PIN in the redacted log; the same log from standard input;
# a log cut mid-line and binary garbage read to the end with the first bad line named.
#
# usage: mdlog_embedded.sh BIN_DIR   (mdhost, mdlog; libhelixmd-sim.so in BIN_DIR/../lib)
# Needs neither root nor pcscd. Exit status: 0 when every check passed, 77 when the machine
# cannot run the test, 1 otherwise.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"

# mdhost's default PIN, the wrong one its logon and pin scenarios present, and the PINs the pin
# scenario changes to.
readonly pins="12345678 12345679 11112222 33334444 55556666 77778888"

# scenario NAME ARGS...: mdhost with the module's log on, then mdlog's views of that log.
scenario() {
    local name=$1
    shift
    TQ_MD_LOG=$work/$name.log "$mdhost" "$@" --json >"$work/$name.json" || fail "mdhost $*"
    "$mdlog" --json "$work/$name.log" >"$work/$name.calls.json" || fail "mdlog --json over $name"
    "$mdlog" --redact "$work/$name.log" >"$work/$name.redacted" || fail "mdlog --redact over $name"
    "$mdlog" --summary "$work/$name.log" >/dev/null || fail "mdlog --summary over $name"
    # shellcheck disable=SC2086
    python3 "$here/mdlog_checks.py" "$work/$name.json" "$work/$name.calls.json" "$work/$name.log" \
        "$work/$name.redacted" $pins || fail "mdlog over mdhost $*"
}

main() {
    [[ $# -ge 1 ]] || { echo "usage: $0 BIN_DIR" >&2; exit 2; }
    local bin
    bin=$(cd "$1" && pwd)
    mdhost=$bin/mdhost
    mdlog=$bin/mdlog
    [[ -x $mdhost && -x $mdlog ]] || fail "no mdhost or mdlog in $bin"
    command -v python3 >/dev/null || skip "python3 is not installed"
    work=$(mktemp -d /tmp/helix-mdlog.XXXXXX)
    trap 'rm -rf "$work"' EXIT

    scenario logon logon
    scenario properties properties
    scenario pin pin
    scenario session session --profile bio-23
    scenario enroll enroll --import --key rsa1024,p256 --card-image "$work/keys.img"
    scenario sign sign --card-image "$work/keys.img"
    scenario decrypt decrypt --card-image "$work/keys.img"
    scenario ecdh ecdh --card-image "$work/keys.img"
    scenario delete delete --card-image "$work/keys.img"

    "$mdlog" <"$work/pin.log" | cmp -s - <("$mdlog" "$work/pin.log") || fail "mdlog reads standard input as it reads a file"
    echo "ok: standard input reads as the file"

    # Cut in the middle of a command line, and garbage: read to the end, first bad line named.
    local cut rc
    cut=$(grep -b -m1 '^CAPDU:  ([0-9]* bytes): 80 20' "$work/pin.log" | cut -d: -f1)
    head -c $((cut + 30)) "$work/pin.log" >"$work/cut.log"
    rc=0
    "$mdlog" "$work/cut.log" >"$work/cut.out" 2>"$work/cut.err" || rc=$?
    [[ $rc -eq 1 ]] && grep -q "cut.log:[0-9]*: cannot read this line (cut short" "$work/cut.err" ||
        fail "a log cut mid-line: status $rc, $(cat "$work/cut.err")"
    echo "ok: a log cut mid-line ends with status 1 and names the line"
    head -c 1000000 /dev/urandom >"$work/garbage.log"
    rc=0
    "$mdlog" --summary "$work/garbage.log" >/dev/null 2>"$work/garbage.err" || rc=$?
    [[ $rc -eq 1 ]] && grep -q "garbage.log:[0-9]*: cannot read this line" "$work/garbage.err" ||
        fail "binary garbage: status $rc, $(cat "$work/garbage.err")"
    echo "ok: binary garbage ends with status 1 and names its first line"
}

main "$@"
