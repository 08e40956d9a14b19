# What the Wine test drivers share; sourced, after "set -uo pipefail", by a driver that has set
# $wine_run (scripts/wine-run) and, for a session or a spawned run, $helper_exe (the service test
# helper). Sourcing it only sets variables and functions, no shell option, and makes no prefix:
# the package check, which runs no Wine, uses it for its failures and versions.
#
# A driver that runs the service calls use_prefix first; begin_run, start_session and end_run
# then frame the run. The reports are read from Wine's event-log channel through parse-reports.py.
# The drivers use the variables set here, and set the ones it uses:
# shellcheck shell=bash disable=SC2034,SC2154

parse_reports=$(dirname "${BASH_SOURCE[0]}")/parse-reports.py

name=VantorTarnWindowsUpdateService
services_key='HKLM\System\CurrentControlSet\Services'
service_key="$services_key\\$name"
win_dir='C:\Program Files\Vantor\Tarn\Services'
win_exe="$win_dir\\$name.exe"
# How long a report or a service start may take: the control handler runs on a thread of its
# own under Wine, so nothing that the service does is there at once.
deadline_seconds=30

# The registration as the executable's own "install" makes it, as key_values prints it.
registration="DisplayName REG_SZ $name
ErrorControl REG_DWORD 0x1
ImagePath REG_SZ \"$win_exe\"
ObjectName REG_SZ LocalSystem
Start REG_DWORD 0x2
Type REG_DWORD 0x10"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# wait_until COMMAND...: runs COMMAND every 0.2 s until it succeeds; non-zero once
# $deadline_seconds have passed without that.
wait_until() {
    local end=$((SECONDS + deadline_seconds))
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.2
    done
}

# expect_same MESSAGE EXPECTED ACTUAL: a failure, with the difference, where the two differ.
expect_same() {
    if [ "$3" != "$2" ]; then
        fail "$1"
        diff <(echo "$2") <(echo "$3") >&2
    fi
}

# --- The prefix and the run ----------------------------------------------------------------------

# use_prefix TAG WINEDEBUG: a prefix of this test's own, beside its build files, so that other
# Wine tests run in parallel; the logs go to TAG-logs. WINEDEBUG is for what the driver runs
# itself; the session has the event-log channel on whatever it is.
use_prefix() {
    export WINEPREFIX=$PWD/wineprefix
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEDEBUG=$2
    drive_c=$WINEPREFIX/drive_c
    unix_dir="$drive_c/Program Files/Vantor/Tarn/Services"
    # A program where an unquoted "C:\Program Files\..." path would find one; it leaves the
    # marker when it runs.
    planted=$drive_c/Program.exe
    marker=$drive_c/tarn-planted-program-ran.txt
    logs=$PWD/$1-logs
    # The helper's "wait" role says it is up with the one file and ends with the other.
    session_ready=tarn-$1-test-ready
    session_stop=tarn-$1-test-stop
    # Set while a run is under way: a run that did not finish may have left the service
    # installed, and an automatic-start service would start with the next session, so the next
    # run starts over.
    dirty=$WINEPREFIX.dirty
    session_pid=
    session_err=
}

# Sets $started; a fresh prefix where the last run did not finish.
begin_run() {
    started=$SECONDS
    mkdir -p "$logs"
    if [ -e "$dirty" ]; then
        echo "the last run did not finish: starting with a fresh prefix"
        wineserver -k >/dev/null 2>&1
        rm -rf "$WINEPREFIX" "$dirty"
    fi
    # This prefix's own server only; a server on its way out must not take the new session
    # with it.
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
}

# start_session ERR-FILE: a new Wine session; services.exe starts the automatic services as at a
# boot. Wine hands the standard error of the services it starts to the first process of the
# session, so that is the helper's "wait" role, and ERR-FILE the services' log.
start_session() {
    session_err=$1
    rm -f "$drive_c/$session_stop" "$drive_c/$session_ready"
    WINEDEBUG=+pid,+eventlog "$wine_run" "$helper_exe" wait "C:\\$session_ready" \
        "C:\\$session_stop" 2>"$session_err" >/dev/null &
    session_pid=$!
    # A new prefix is made first, which takes longer than anything the session does after.
    local deadline_seconds=120
    wait_until session_up_or_gone
    if [ ! -e "$drive_c/$session_ready" ]; then
        echo "the Wine session did not start" >&2
        cat "$session_err" >&2
        exit 1
    fi
}

# The session's first process said it is up, or has ended: no use waiting for it then.
session_up_or_gone() {
    [ -e "$drive_c/$session_ready" ] || ! kill -0 "$session_pid" 2>/dev/null
}

end_session() {
    [ -d "$drive_c" ] && touch "$drive_c/$session_stop"
    wineserver -k >/dev/null 2>&1
    [ -z "$session_pid" ] || wait "$session_pid" 2>/dev/null
    session_pid=
}

# end_run WHERE: exits 1 after any failure, saying where the logs are; otherwise the prefix is
# clean again.
end_run() {
    if ((failures > 0)); then
        echo "$failures failures; logs in $1" >&2
        exit 1
    fi
    rm -f "$dirty"
}

# --- Reports -------------------------------------------------------------------------------------

# reports FILE: "pid id type text" for each report in FILE, in the order Wine printed them; lines
# that break the rules start with BAD. A call whose text is not there yet is left out, so the
# file may still be growing.
reports() {
    python3 "$parse_reports" --open "$1" | awk '/^BAD/ { print; next }
        { pid = $1; type = $3; id = $4; sub(/^[^ ]+ [^ ]+ [^ ]+ [^ ]+ /, "")
          print pid, id, type, $0 }'
}

# process_reports FILE PID: the reports of one process, as "id type text" lines, and the BAD lines.
process_reports() {
    reports "$1" | awk -v pid="$2" '$1 == pid || /^BAD/ { sub(/^[0-9]+ /, ""); print }'
}

# The processes that started as the service in the session's log, in the order Wine printed them
# (decimal IDs).
service_pids() {
    reports "$session_err" | awk '{ text = $0; sub(/^[^ ]+ [^ ]+ [^ ]+ /, "", text) }
             $3 == 2 && text == "run Tarn windows update normally." { print $1 }'
}

# wait_for_report PID TEXT [TYPE]: polls the session's log until process PID reported TEXT, of
# TYPE where one is given.
wait_for_report() {
    local pid=$1 want=$2 fields=3-
    if (($# > 2)); then
        want="$3 $2"
        fields=2-
    fi
    wait_until reported "$pid" "$fields" "$want" && return 0
    fail "no report \"$want\" from process $pid within $deadline_seconds s"
    return 1
}

# reported PID FIELDS LINE: process PID's reports, cut to FIELDS of "id type text", hold LINE.
reported() {
    process_reports "$session_err" "$1" | cut -d' ' -f"$2" | grep -qxF -- "$3"
}

# --- Running things ------------------------------------------------------------------------------

# spawn LABEL COMMAND-LINE: runs it through the helper's "spawn" role, which prints all 32 bits of
# the exit code; sets $exit_code, and $run_err, the file of its standard error.
spawn() {
    local out
    run_err=$logs/$1.err
    out=$("$wine_run" "$helper_exe" spawn "$2" 2>"$run_err")
    out=${out%$'\r'}
    exit_code=${out#exit }
}

# run_exe LABEL CODE [ARGS...]: the installed executable, started as a prompt starts it, must
# exit with CODE.
run_exe() {
    local label=$1 code=$2
    shift 2
    spawn "$label" "\"$win_exe\"${*:+ $*}"
    [ "$exit_code" == "$code" ] || fail "$label: exit code $exit_code, expected $code"
}

# check_state LABEL STATE: the service's state as sc reports it.
check_state() {
    local state
    state=$(WINEDEBUG=-all "$wine_run" sc query "$name" 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p')
    [ "$state" == "$2" ] || fail "$1: the service is \"$state\", expected $2"
}

# "NAME TYPE VALUE" per value of a registry key; nothing when the key is not there.
key_values() {
    WINEDEBUG=-all "$wine_run" reg query "$1" 2>/dev/null | tr -d '\r' |
        awk 'NF >= 3 && $2 ~ /^REG_/ { v = $0; sub(/^ *[^ ]+ +[^ ]+ +/, "", v); print $1, $2, v }'
}

# product_version MSI: the package's ProductVersion.
product_version() {
    msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }'
}

check_not_planted() {
    [ ! -e "$marker" ] || fail "$1: the planted C:\\Program.exe ran: $(iconv -f UTF-16LE "$marker")"
}
