#!/usr/bin/env bash
# Checks the service unit as systemd reads it: systemd-analyze verify on the
# unit made for this build, its ExecStart naming the program just built
# (verify wants the program to exist). verify reports most faults (an
# unknown key, a value it cannot parse, a misspelt section) as a warning and
# still exits 0, so any output at all fails the check. The service user need
# not exist: verify does not look it up.
# Exits 77 (skipped) where systemd-analyze is not installed.
#   service_unit_verify.sh UNIT_TEMPLATE PROGRAM
set -euo pipefail

TEMPLATE="$1"
PROGRAM="$2"

fail() { echo "FAIL: $*" >&2; exit 1; }

if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "systemd-analyze is not installed: skipped"
    exit 77
fi
if [ "$(basename "$PROGRAM")" != ipcam-recorder ] || [ ! -x "$PROGRAM" ]; then
    fail "no program at $PROGRAM"
fi

DIR="$(mktemp -d)"
trap 'rm -rf "$DIR"' EXIT
UNIT="$DIR/ipcam-recorder.service"
sed "s|@FULL_BINDIR@|$(dirname "$PROGRAM")|g" "$TEMPLATE" >"$UNIT"
# The installed unit is made with FULL_BINDIR only; anything else would be left empty.
if grep -n '@[A-Za-z_]*@' "$UNIT"; then
    fail "the unit template uses a variable other than FULL_BINDIR"
fi

status=0
output="$(systemd-analyze verify --man=no "$UNIT" 2>&1)" || status=$?
if [ "$status" -ne 0 ] || [ -n "$output" ]; then
    echo "$output" >&2
    fail "systemd-analyze verify (exit $status)"
fi

# What the service relies on: reload by SIGHUP, no restart after a settings
# error, the ping's capability, name lookup over netlink.
for line in 'ExecReload=/bin/kill -HUP $MAINPID' 'RestartPreventExitStatus=78' 'AmbientCapabilities=CAP_NET_RAW' \
    'CapabilityBoundingSet=CAP_NET_RAW' 'RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK'; do
    grep -qxF "$line" "$UNIT" || fail "the unit lacks $line"
done
# The sandbox as systemd rates it: an exposure of 1.5 at most.
exposure="$(systemd-analyze security --offline=yes --threshold=15 "$UNIT" 2>&1)" ||
    fail "exposure above 1.5: $(grep 'Overall exposure' <<<"$exposure")"
echo "service unit OK: $(grep '^ExecStart=' "$UNIT"); $(grep -o 'exposure level.*' <<<"$exposure")"
