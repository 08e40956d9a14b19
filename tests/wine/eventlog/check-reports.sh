#!/usr/bin/env bash
# Runs the event-log probe under Wine and checks every ReportEventW call it makes, as Wine's
# event-log channel shows them (tests/wine/support/parse-reports.py checks each call's
# arguments and the channel of its text).
# Usage: check-reports.sh <probe.exe> <wine-run>
set -uo pipefail

probe=$1
wine_run=$2
# shellcheck source=SCRIPTDIR/../support/wine-session.sh
source "$(dirname "$0")/../support/wine-session.sh"

stderr_file=$(mktemp)
trap 'rm -f "$stderr_file"' EXIT

WINEDEBUG=+eventlog "$wine_run" "$probe" 2>"$stderr_file" >/dev/null
status=$?
if [ "$status" -ne 0 ]; then
    echo "the probe exited with $status" >&2
    cat "$stderr_file" >&2
    exit 1
fi

# type id text, in the order the probe reports them. Service IDs count from 1, engine IDs from
# 21, each source on its own.
expected=$(cat <<'LIST'
0 1 service success 1
1 2 service error text
4 21 engine information 7
2 3 service warning
0 22 engine success
1 23 engine error 00AB
4 4 service information
2 24 engine warning
LIST
)

actual=$(python3 "$parse_reports" "$stderr_file" | sed -E 's/^[0-9]+ [0-9]+ //')

# The engine source is registered before the service source.
registrations=$(grep -o 'RegisterEventSourceW ((null),L"[^"]*")' "$stderr_file" |
    sed 's/.*L"\(.*\)")/\1/' | tr '\n' ' ')

expect_same "ReportEventW calls differ from what the probe reported" "$expected" "$actual"
[ "$registrations" == "TarnUpgradeProcess $name " ] ||
    fail "unexpected registrations: $registrations"
if ((failures > 0)); then
    echo "--- Wine's standard error:" >&2
    grep -E 'RegisterEventSourceW|ReportEventW' "$stderr_file" >&2
    exit 1
fi
echo "8 reports checked"
