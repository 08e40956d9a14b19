#!/usr/bin/env bash
# The service executable under Wine's own Service Control Manager: installation and removal from
# the command line, start and stop through services.exe, the controls, and the event-log reports
# of each process as Wine's event-log channel shows them (tests/wine/support/parse-reports.py).
#
# Wine hands the standard error of the services it starts to the first process of the session, so
# the whole test runs inside one session whose first process is the helper's "wait" role; its
# standard error is the service's log. The control handler runs on a thread of its own under Wine,
# so every expected report is polled for with a deadline.
#
# Usage: check-service.sh <VantorTarnWindowsUpdateService.exe> <helper.exe> <wine-run>
set -uo pipefail

service_exe=$1
helper_exe=$2
wine_run=$3
# shellcheck source=SCRIPTDIR/../support/wine-session.sh
source "$(dirname "$0")/../support/wine-session.sh"

# Its own runs of the executable report through the event-log channel, each with its process.
use_prefix service +pid,+eventlog
trap 'rm -f "$planted" "$marker"; end_session' EXIT

# The reports of process PID in FILE in the order of their event IDs: another thread's report may
# come out after a later one.
reports_by_id() {
    process_reports "$1" "$2" | sort -k1,1n
}

# The process that reported in FILE: the lowest ID, or BAD for a report that broke the rules.
reporter() {
    reports "$1" | sort -n | awk 'NR == 1 { print $1 }'
}

# check_sequence LABEL ACTUAL EXPECTED: ACTUAL holds "id type text" lines of one process, EXPECTED
# "T text" lines (T one of S E W I: success, error, warning, information). The event IDs must run
# 1, 2, 3, ... and the reports come in the expected order, except for a line marked "~T text": it
# comes from another thread and may come anywhere after the line above it.
check_sequence() {
    local problems
    problems=$(EXPECTED=$3 awk '
        BEGIN {
            n = split(ENVIRON["EXPECTED"], lines, "\n")
            for (i = 1; i <= n; i++) {
                line = lines[i]
                moves = substr(line, 1, 1) == "~"
                if (moves) line = substr(line, 2)
                t = substr(line, 1, 1)
                key = (t == "S" ? 0 : t == "E" ? 1 : t == "W" ? 2 : 4) " " substr(line, 3)
                if (moves) after[key] = anchor
                else { fixed[++count] = key; anchor = key }
            }
        }
        {
            id = $1
            sub(/^[^ ]+ /, "")
            if (id != NR) print "report " NR " has event ID " id
            if ($0 in after) {
                if ($0 in seen) print "twice: " $0
                else if (!(after[$0] in seen)) print "too early: " $0
                seen[$0] = 1
                next
            }
            seen[$0] = 1
            if (++k <= count && fixed[k] != $0)
                print "report " NR ": \"" $0 "\", expected \"" fixed[k] "\""
        }
        END {
            if (k != count) print k " reports in order, expected " count
            for (key in after) if (!(key in seen)) print "missing: " key
        }' <<<"$2")
    if [ -n "$problems" ]; then
        fail "$1: the reports differ"
        echo "$problems" | head -5 | sed 's/^/    /' >&2
        echo "  reports (id type text):" >&2
        echo "$2" | sed 's/^/    /' >&2
    fi
}

# check_command LABEL EXIT_CODE REPORTS ARGS: one command-line run, its exit code and reports.
check_command() {
    local label=$1 code=$2 expected=$3
    shift 3
    run_exe "$label" "$code" "$@"
    check_sequence "$label" "$(reports_by_id "$run_err" "$(reporter "$run_err")")" "$expected"
}

# The registration as the Service Control Manager stored it. Wine keeps the pre-shutdown time-out
# (it writes 180000 of its own at creation); it accepts failure actions without keeping them and
# refuses their flag with ERROR_INVALID_LEVEL (124), which the fakes of the unit tests cover.
check_registry() {
    expect_same "$1: the registry key differs" "$registration" "$(key_values "$service_key" |
        grep -E '^(DisplayName|ErrorControl|ImagePath|ObjectName|Start|Type) ')"
    expect_same "$1: the pre-shutdown time-out differs" "PreshutdownTimeout REG_DWORD 0x3a980" \
        "$(key_values "$service_key" | grep '^PreshutdownTimeout ')"
}

# What Wine's refusal of the failure actions' flag adds to each installation.
refused_flag="W set failure actions flag failed, GetLastErrorCode: 124"

check_no_registry() {
    if WINEDEBUG=-all "$wine_run" reg query "$service_key" >/dev/null 2>&1; then
        fail "$1: the registry key is still there"
    fi
}

# --- The session ---------------------------------------------------------------------------------

begin_run
rm -f "$logs"/*.err
touch "$dirty"
rm -f "$marker" "$planted"
# The first use creates the prefix (wine-run waits for that), then this starts the session.
start_session "$logs/session.err"
echo "session up after $((SECONDS - started)) s"
mkdir -p "$unix_dir"
cp "$service_exe" "$unix_dir/$name.exe"

# --- Command line --------------------------------------------------------------------------------

for args in "Install" "install x" "foo" "uninstall now"; do
    check_command "bad-${args// /-}" 4294967295 "E service start with bad parameters." $args
done
check_command uninstall-absent 4294967295 "E Open Tarn windows update service failed.
E service uninstall failed." uninstall

check_command install 0 "W service start install.
S create service success.
$refused_flag
S service install success." install
check_registry install
check_command install-again 4294967295 "W service start install.
E create service failed.
E service install failed." install
check_registry install-again
check_command uninstall-stopped 0 "W service stopped.
S service delete success.
S service uninstall success." uninstall
check_no_registry uninstall-stopped

# Not started by the Service Control Manager: the dispatcher refuses, and the service installs
# itself. Run through cmd, the way a prompt starts it (Wine quotes the path for cmd).
prompt_err=$logs/prompt.err
"$wine_run" cmd /c "$win_exe" 2>"$prompt_err" >/dev/null
prompt_code=$?
[ "$prompt_code" -eq 0 ] || fail "prompt: exit status $prompt_code, expected 0"
check_sequence prompt "$(reports_by_id "$prompt_err" "$(reporter "$prompt_err")")" \
    "W run Tarn windows update normally.
E start service control dispatcher failed, GetLastErrorCode: 1063
W auto-install service on boot.
S create service success.
$refused_flag
S service install success."
check_registry prompt

# --- Under the Service Control Manager -----------------------------------------------------------

# A program where an unquoted "C:\Program Files\..." image path would find one.
cp "$helper_exe" "$planted"

WINEDEBUG=-all "$wine_run" sc start "$name" >"$logs/sc-start.out" 2>&1 ||
    fail "sc start: exit status $?"
# Sets $service_pid once the service's process has reported.
service_reported() {
    service_pid=$(service_pids | head -1)
    [ -n "$service_pid" ]
}
if ! wait_until service_reported; then
    fail "the service process never reported"
    grep -E 'ReportEventW|err:' "$session_err" >&2
    exit 1
fi

# The worker thread starts just before service main reports its result, and looks once for Tarns
# in DFU mode (Wine has none).
start_reports="W run Tarn windows update normally.
I enter service main function.
I enter initialize service function.
I register service control handler success.
I enter registerStart function.
~W TarnUpgradeProcess start event processing
~I look for attached Tarns in DFU mode.
~I no attached Tarn in DFU mode found.
S initialize service success."

# At most the deadline: check_sequence says which are missing.
start_reported() {
    (($(process_reports "$session_err" "$service_pid" | wc -l) >= 9))
}
wait_until start_reported
check_sequence start "$(reports_by_id "$session_err" "$service_pid")" "$start_reports"
check_state "sc query after the start" RUNNING
check_not_planted start

# Wine's sc has no interrogate, pause, continue or control: the helper sends them. Pause and
# continue are not among the controls the service accepts. 128 asks the worker to look for the
# attached Tarns; Wine has none (and no USB stack behind setupapi), so the look finds none. 129
# is a user control the service ignores.
control() {
    local code=$1 want=$2 got
    got=$(WINEDEBUG=-all "$wine_run" "$helper_exe" control "$name" "$code" 2>/dev/null)
    got=${got%$'\r'}
    echo "control $code: $got"
    [ "$got" == "$want" ] || fail "control $code: \"$got\", expected \"$want\""
}
control 4 "ok 4"
wait_for_report "$service_pid" "control code: SERVICE_CONTROL_INTERROGATE." 4
control 2 "error 1052"
control 3 "error 1052"
control 128 "ok 4"
wait_for_report "$service_pid" "no attached Tarn found." 4
control 129 "ok 4"

check_command uninstall-running 4294967295 "E service not stopped, can not delete this service.
E service uninstall failed." uninstall
check_registry uninstall-running
check_state "sc query after the refused removal" RUNNING

WINEDEBUG=-all "$wine_run" sc stop "$name" >"$logs/sc-stop.out" 2>&1 ||
    fail "sc stop: exit status $?"
# The process's last report: only after it may the removal run, or it would race the automatic
# installation.
wait_for_report "$service_pid" "service install failed." 1
wait_for_report "$service_pid" "service control stop success." 4
# Reporting "stopped" lets the dispatcher return on the main thread while the handler's thread
# is still to make its last report.
check_sequence run "$(reports_by_id "$session_err" "$service_pid")" "$start_reports
I control code: SERVICE_CONTROL_INTERROGATE.
I control code: upgrade attached devices.
I look for attached devices.
I no attached Tarn found.
I control code: SERVICE_CONTROL_STOP.
I enter onStop function.
I unregister device notification.
~I service control stop success.
S run service success
W auto-install service on boot.
E create service failed.
E service install failed."
check_state "sc query after the stop" STOPPED
check_not_planted stop

check_command uninstall-after-stop 0 "W service stopped.
S service delete success.
S service uninstall success." uninstall
check_no_registry uninstall-after-stop

# The planted program is a real trap here: Wine's Service Control Manager, given the same path
# unquoted, starts it.
probe=TarnUnquotedPathProbe
WINEDEBUG=-all "$wine_run" sc create "$probe" binpath= "$win_exe" start= demand >/dev/null 2>&1 ||
    fail "sc create $probe: exit status $?"
WINEDEBUG=-all "$wine_run" sc start "$probe" >/dev/null 2>&1
wait_until test -e "$marker" ||
    fail "the unquoted image path did not start the planted program: the check above proves nothing"
WINEDEBUG=-all "$wine_run" sc delete "$probe" >/dev/null 2>&1 ||
    fail "sc delete $probe: exit status $?"
rm -f "$planted" "$marker"

echo "--- the service's reports, as Wine printed them:"
grep -E "^0*$(printf '%x' "$service_pid"):[0-9a-f]+:[a-z]+:eventlog:ReportEventW" "$session_err" |
    sed 's/^/    /'
end_run "$logs"
echo "service checks passed in $((SECONDS - started)) s"
