#!/usr/bin/env bash
# Runs the service under Wine from a runtime-mode Tarn's arrival to the stop, and checks what
# it reported to the event log, and the device afterwards.
#
# One Wine process, the harness's driver, does everything in Windows: it installs the harness
# as the service, starts it, feeds it the simulator's announcements, and stops and removes it
# once this script creates the stop file (when the last pass is over, or something failed).
# Wine's event-log channel shows each ReportEventW call; tests/wine/support/parse-reports.py
# checks each and pairs it with its text.
# Usage: run-e2e.sh <harness.exe> <wine-run>
set -uo pipefail

harness=$1
wine_run=$2
# shellcheck source=SCRIPTDIR/../support/wine-session.sh
source "$(dirname "$0")/../support/wine-session.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stop_file=$work/stop
stop_win="Z:${stop_file//\//\\}"
err=$work/stderr
out=$work/stdout

done_text='TarnUpgradeProcess.initDfuDevList processing event.... done'
# The service's process is started by the prefix's services.exe and writes to its standard
# error: a Wine session left over from an earlier run would take the reports elsewhere.
WINEPREFIX=${WINEPREFIX:-$PWD/wineprefix} wineserver -w 2>/dev/null
start=$SECONDS
WINEDEBUG=+eventlog "$wine_run" "$harness" drive "$stop_win" 2>"$err" >"$out" &
driver=$!

# Three passes end with the "done" message; a failed pass ends the run at once.
while kill -0 "$driver" 2>/dev/null; do
    passes=$(grep -cF "L\"$done_text\"" "$err")
    if [ "$passes" -ge 3 ] || grep -qE 'L"TarnUpgradeProcess\.[a-zA-Z]+ failed!"' "$err" ||
        [ $((SECONDS - start)) -gt 150 ]; then
        break
    fi
    sleep 0.2
done
# The third pass's "done" is its worker's last report, and a failed pass's "failed!" its last:
# no pass is under way when the stop comes.
touch "$stop_file"
wait "$driver"
status=$?
echo "the run took $((SECONDS - start)) s"

[ "$status" -eq 0 ] || fail "the driver exited with $status: $(cat "$out")"

# "tid type id text" for each call; a line starting with BAD for anything malformed.
reports=$(python3 "$parse_reports" "$err" | sed -E 's/^[0-9]+ //')
if grep -q '^BAD' <<<"$reports"; then
    fail "$(grep '^BAD' <<<"$reports")"
fi
reports=$(grep -v '^BAD' <<<"$reports")
[ -n "$reports" ] || fail "no event-log reports seen"

# The service host's texts; everything else is the engine's.
service_texts='^(enter service main function\.|initialize service (success|failed)\.|enter initialize service function\.|register service control handler (success|failed)\.|enter registerStart function\.|register device notification failed\.|control code: .*|enter onStop function\.|unregister device notification\.|service control stop success\.|dwEventType: -?[0-9]+|device remove|device event others|device event: device arrival|Guid = \{.*\}|arrival device is (not )?Vantor Tarn\.|TarnUpgradeProcess (start event processing|processing event\.\.\.\. queue size [0-9]+)|TarnUpgradeProcess\.initDfuDevList (failed!|processing event\.\.\.\. done)|TarnUpgradeProcess\.doUpgrade failed!|arrival device handled completely\.|Keep service running\.|look for attached Tarns in DFU mode\.|no attached Tarn in DFU mode found\.|Tarn with serial ".*" not recorded: .*|registry record not written, error [0-9]+)$'
declare -a service_ids=() engine_ids=()
worker=
worker_sequence=
declare -A tids=()
while read -r tid type id text; do
    if [[ $text =~ $service_texts ]]; then
        service_ids+=("$id")
        source=S
    else
        engine_ids+=("$id")
        source=E
    fi
    tids[$source$tid]=1
    if [ "$text" = "TarnUpgradeProcess start event processing" ]; then
        worker=$tid
    fi
    if [ "$tid" = "$worker" ]; then
        # The worker's own messages, all warnings, and the engine messages that tell the
        # outcome of each pass.
        if [[ $text == "look for attached Tarns in DFU mode." ||
            $text == "no attached Tarn in DFU mode found." ]]; then
            : # the look at start, information entries before the first pass
        elif [ "$source" = S ]; then
            [ "$type" -eq 2 ] || fail "worker message of type $type: $text"
            worker_sequence+="$text"$'\n'
        elif [[ $text == "enter doDevDetach"* || $text == "TarnUpdateResult is "* ||
            $text == "return for latest build!" ]]; then
            worker_sequence+="  engine: $text"$'\n'
        fi
    elif [ "$source" = E ]; then
        fail "an engine message from thread $tid, not the worker's: $text"
    fi
done <<<"$reports"

expected_worker=$(cat <<LIST
TarnUpgradeProcess start event processing
TarnUpgradeProcess processing event.... queue size 0
  engine: enter doDevDetach
$done_text
TarnUpgradeProcess processing event.... queue size 0
  engine: TarnUpdateResult is 4
arrival device handled completely.
Keep service running.
$done_text
TarnUpgradeProcess processing event.... queue size 0
  engine: return for latest build!
arrival device handled completely.
Keep service running.
$done_text
LIST
)
expect_same "the worker's messages differ" "$expected_worker" \
    "$(sed 's/ *$//' <<<"$worker_sequence")"

# Each source numbers its entries 1, 2, ... and 21, 22, ... with no gap and no repeat;
# several threads report through the service source, so its lines need not come in order.
check_ids() {
    local name=$1 first=$2
    shift 2
    local sorted expected
    sorted=$(printf '%s\n' "$@" | sort -n)
    expected=$(seq "$first" $((first + $# - 1)))
    [ "$sorted" = "$expected" ] || fail "$name event IDs are not $first to $((first + $# - 1))"
}
check_ids service 1 "${service_ids[@]}"
check_ids engine 21 "${engine_ids[@]}"
# The engine reports from the worker alone, so its IDs rise line by line.
[ "$(printf '%s\n' "${engine_ids[@]}")" = "$(printf '%s\n' "${engine_ids[@]}" | sort -n)" ] ||
    fail "engine event IDs out of order"

# The control handler: three arrivals and two removals on the dispatcher's thread, then the stop.
handler_texts=$(grep -E '^[0-9a-f]+ [0-9]+ [0-9]+ (control code|dwEventType|device |arrival device is|enter onStop|unregister device|service control stop)' <<<"$reports")
[ "$(cut -d' ' -f1 <<<"$handler_texts" | sort -u | wc -l)" -eq 1 ] ||
    fail "the control handler ran on more than one thread"
[ "$(grep -c ' arrival device is Vantor Tarn\.$' <<<"$handler_texts")" -eq 3 ] ||
    fail "not three Tarn arrivals"
[ "$(grep -c ' device remove$' <<<"$handler_texts")" -eq 2 ] || fail "not two removals"
stop_sequence=$(tail -n 4 <<<"$handler_texts" | cut -d' ' -f4-)
expected_stop=$'control code: SERVICE_CONTROL_STOP.\nenter onStop function.\nunregister device notification.\nservice control stop success.'
[ "$stop_sequence" = "$expected_stop" ] || fail "the stop reported: $stop_sequence"

# The device, as the simulator shows it after the run.
grep -q '^mode = runtime' "$out" || fail "the device is not in runtime mode: $(cat "$out")"
grep -q '^version = 0103' "$out" || fail "the device does not run 0103: $(cat "$out")"
# Its record, as the service left it in the registry and Wine's own reg prints it.
record=$("$wine_run" reg query 'HKLM\SOFTWARE\Vantor\Tarn\Devices\SN0001' 2>&1 | tr -d '\r')
for line in '    FirmwareVersion    REG_SZ    0103' '    Mode    REG_SZ    runtime' \
    '    LastOutcome    REG_DWORD    0x6' '    LastOutcomeText    REG_SZ    up to date'; do
    grep -qxF "$line" <<<"$record" || fail "the registry record lacks \"$line\": $record"
done

if ((failures > 0)); then
    echo "--- the event-log reports:" >&2
    cut -d' ' -f1,3- <<<"$reports" >&2
    exit 1
fi
echo "$(wc -l <<<"$reports") reports checked: ${#service_ids[@]} service, ${#engine_ids[@]} engine"
