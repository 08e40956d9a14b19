#!/usr/bin/env bash
# Runs the event-log probe under Wine and checks every ReportEventW call it makes.
#
# Wine's ReportEventW is a stub that prints its arguments on the fixme channel,
#   fixme:advapi:ReportEventW (handle,type,category,id,sid,numStrings,dataSize,strings,rawData): stub
# and then each insertion string on the eventlog channel, err for errors, warn for warnings and
# trace otherwise:
#   err:eventlog:ReportEventW L"text"
# Usage: check-reports.sh <probe.exe> <wine-run>
set -uo pipefail

probe=$1
wine_run=$2

stderr_file=$(mktemp)
trap 'rm -f "$stderr_file"' EXIT

WINEDEBUG=+eventlog "$wine_run" "$probe" 2>"$stderr_file" >/dev/null
status=$?
if [ "$status" -ne 0 ]; then
    echo "the probe exited with $status" >&2
    cat "$stderr_file" >&2
    exit 1
fi

# type id channel text, in the order the probe reports them. Service IDs count from 1, engine
# IDs from 21, each source on its own.
expected=$(cat <<'LIST'
0 1 trace service success 1
1 2 err service error text
4 21 trace engine information 7
2 3 warn service warning
0 22 trace engine success
1 23 err engine error 00AB
4 4 trace service information
2 24 warn engine warning
LIST
)

# Prints "type id channel text" for each call, or a line starting with BAD.
parse() {
    local call='^([0-9a-f]+):fixme:advapi:ReportEventW \((.*)\): stub$'
    local text='^([0-9a-f]+):(err|warn|trace):eventlog:ReportEventW L"(.*)"$'
    local -A pending=()
    local line tid
    local -a arg
    while IFS= read -r line; do
        line=${line%$'\r'}
        if [[ $line =~ $call ]]; then
            # Both lines of one call come from the same thread; pair them by its id.
            tid=${BASH_REMATCH[1]}
            IFS=, read -r -a arg <<<"${BASH_REMATCH[2]}"
            if [ "${#arg[@]}" -ne 9 ]; then
                echo "BAD argument count ${#arg[@]}: $line"
                continue
            fi
            ((arg[2] == 0)) || echo "BAD category ${arg[2]}"
            ((16#${arg[4]} == 0)) || echo "BAD user SID ${arg[4]}"
            ((arg[5] == 1)) || echo "BAD string count ${arg[5]}"
            ((arg[6] == 0)) || echo "BAD raw data size ${arg[6]}"
            ((16#${arg[7]} != 0)) || echo "BAD null string array"
            ((16#${arg[8]} == 0)) || echo "BAD raw data ${arg[8]}"
            pending[$tid]="$((arg[1])) $((arg[3]))"
        elif [[ $line =~ $text ]]; then
            tid=${BASH_REMATCH[1]}
            if [ -z "${pending[$tid]+set}" ]; then
                echo "BAD text without a call: $line"
                continue
            fi
            echo "${pending[$tid]} ${BASH_REMATCH[2]} ${BASH_REMATCH[3]}"
            unset "pending[$tid]"
        elif [[ $line == *ReportEventW* ]]; then
            echo "BAD unexpected line: $line"
        fi
    done
    for tid in "${!pending[@]}"; do
        echo "BAD call without a text: ${pending[$tid]}"
    done
}
actual=$(parse <"$stderr_file")

# The engine source is registered before the service source.
registrations=$(grep -o 'RegisterEventSourceW ((null),L"[^"]*")' "$stderr_file" |
    sed 's/.*L"\(.*\)")/\1/' | tr '\n' ' ')

failed=0
if [ "$actual" != "$expected" ]; then
    echo "ReportEventW calls differ from what the probe reported." >&2
    diff <(echo "$expected") <(echo "$actual") >&2
    failed=1
fi
if [ "$registrations" != "TarnUpgradeProcess VantorTarnWindowsUpdateService " ]; then
    echo "unexpected registrations: $registrations" >&2
    failed=1
fi
if [ "$failed" -ne 0 ]; then
    echo "--- Wine's standard error:" >&2
    grep -E 'RegisterEventSourceW|ReportEventW' "$stderr_file" >&2
    exit 1
fi
echo "8 reports checked"
