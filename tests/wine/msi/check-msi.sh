#!/usr/bin/env bash
# The MSI package under Wine's msiexec and Service Control Manager, in order, in one prefix:
# a silent installation, the automatic start at the next boot, a major upgrade, the executable's
# own "uninstall" and "install" next to the installed copy, the uninstallation, a failed
# installation that rolls back, and the refusal to install over a registration made by hand.
# A planted "C:\Program.exe" must never run.
#
# Wine hands the standard error of the services it starts to the first process of the session, so
# each session's first process is the helper's "wait" role with the event-log channel on; the
# service's reports are read from there, through tests/wine/support/parse-reports.py.
#
# Usage: check-msi.sh PACKAGES HELPER-EXE PROBE-EXE WINE-RUN
#   PACKAGES: the folder check-package.sh made (current.msi, next.msi, files-*, payload)
set -uo pipefail
packages=$1 helper_exe=$2 probe_exe=$3 wine_run=$4
# shellcheck source=SCRIPTDIR/../support/wine-session.sh
source "$(dirname "$0")/../support/wine-session.sh"

eventlog_key="$services_key\\EventLog\\Application"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

use_prefix msi -all
trap 'rm -f "$planted"; end_session' EXIT

# --- Reading the service's reports ---------------------------------------------------------------

# The texts that process PID reported in the session's log, in the order Wine printed them, and
# the BAD lines.
texts_of() {
    process_reports "$session_err" "$1" |
        awk '/^BAD/ { print; next } { sub(/^[^ ]+ [^ ]+ /, ""); print }'
}

# Prints the ID of a service process that is not among the ones given and that has finished its
# start, if there is one.
new_service() {
    local pid
    for pid in $(service_pids); do
        [[ " $* " == *" $pid "* ]] && continue
        if texts_of "$pid" | grep -qx 'initialize service success\.'; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}

# The start sequence; the worker's first report comes from another thread, at any point after
# the worker is started.
check_start_sequence() {
    local label=$1 pid=$2 actual
    actual=$(texts_of "$pid" | grep -vx 'TarnUpgradeProcess start event processing' | head -6)
    local expected="run Tarn windows update normally.
enter service main function.
enter initialize service function.
register service control handler success.
enter registerStart function.
initialize service success."
    expect_same "$label: the service's start sequence differs" "$expected" "$actual"
}

# --- Running things --------------------------------------------------------------------------------

# msiexec LABEL CODE ARGS: a silent msiexec run with a verbose log, and its exit code; CODE
# "failure" is any but 0 (Windows gives 1603, Wine 1603 or 1627).
msiexec() {
    local label=$1 code=$2 t0
    shift 2
    t0=$(date +%s.%N)
    spawn "$label" "msiexec $* /qn /l*v C:\\tarn\\$label.log"
    elapsed=$(echo "$(date +%s.%N) - $t0" | bc)
    echo "$label: msiexec $* /qn: exit code $exit_code, $elapsed s"
    if [ "$code" == failure ]; then
        [[ $exit_code =~ ^[1-9][0-9]*$ ]] || fail "$label: msiexec exit code $exit_code, expected a failure"
    else
        [ "$exit_code" == "$code" ] || fail "$label: msiexec exit code $exit_code, expected $code"
    fi
}

# The registration as the executable's own "install" makes it; nothing else that matters.
check_registration() {
    expect_same "$1: the service's registration differs (no DependOnService, no Group)" \
        "$registration" "$(key_values "$service_key" |
            grep -Ev '^(PreshutdownTimeout|Description|WOW64) ' | sort)"
}

check_event_sources() {
    local label=$1 source
    for source in "$name" TarnUpgradeProcess; do
        [ "$(key_values "$eventlog_key\\$source" | sort)" == "EventMessageFile REG_EXPAND_SZ $win_dir\\TarnEventMessages.dll
TypesSupported REG_DWORD 0x7" ] || fail "$label: the event source $source is not registered as expected"
        # What Event Viewer does with it: the DLL from the registry, every text exactly.
        "$wine_run" "$probe_exe" source "$source" >"$logs/$label-probe-$source.out" 2>&1 ||
            fail "$label: the entries of $source do not render as their text: $(head -3 "$logs/$label-probe-$source.out")"
    done
}

check_nothing_left() {
    local label=$1 source
    [ -z "$(key_values "$service_key")" ] || fail "$label: the service is still registered"
    for source in "$name" TarnUpgradeProcess; do
        [ -z "$(key_values "$eventlog_key\\$source")" ] ||
            fail "$label: the event source $source is still registered"
    done
    # Wine's msiexec leaves the empty folders above the service directory.
    [ ! -e "$unix_dir" ] && [ -z "$(find "$drive_c/Program Files/Vantor" -type f 2>/dev/null)" ] ||
        fail "$label: files are left: $(find "$drive_c/Program Files/Vantor" | head -5)"
    [ "$(products | wc -l)" == 0 ] || fail "$label: a product is still registered: $(products)"
}

# The installed products of ours, as "VERSION" lines.
products() {
    "$wine_run" reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
        /^HKEY/ { ours = 0; version = "" }
        $1 == "DisplayName" && $0 ~ /Vantor Tarn update service$/ { ours = 1 }
        $1 == "DisplayVersion" { version = $3 }
        ours && version != "" { print version; ours = 0 }'
}

# The installed files are the packaged ones, and only they.
check_files() {
    local label=$1 files=$2 payload=$3 file expected
    expected=$(
        echo "$name.exe"
        echo TarnEventMessages.dll
        [ -z "$payload" ] || ls "$payload"
    )
    [ "$(ls "$unix_dir" 2>/dev/null | sort)" == "$(sort <<<"$expected")" ] ||
        fail "$label: the service directory holds: $(ls "$unix_dir" 2>/dev/null | tr '\n' ' ')"
    for file in "$name.exe" TarnEventMessages.dll; do
        cmp -s "$files/$file" "$unix_dir/$file" || fail "$label: $file is not the packaged one"
    done
    if [ -n "$payload" ]; then
        for file in "$payload"/*; do
            cmp -s "$file" "$unix_dir/$(basename "$file")" ||
                fail "$label: $(basename "$file") is not the packaged one"
        done
    fi
}

# --- The session ---------------------------------------------------------------------------------

begin_run
rm -f "$logs"/*
# The first use creates the prefix (wine-run runs wineboot -i and waits for it): before that,
# msiexec's first installation fails with 1627.
start_session "$logs/session-1.err"
touch "$dirty"
echo "session up after $((SECONDS - started)) s"
mkdir -p "$drive_c/tarn"
cp "$packages/current.msi" "$packages/next.msi" "$drive_c/tarn/"
rm -f "$marker"
cp "$helper_exe" "$planted"

# --- Installation ----------------------------------------------------------------------------------

msiexec install 0 /i 'C:\tarn\current.msi'
install_time=$elapsed
check_files install "$packages/files-current" "$packages/payload"
check_registration install
check_event_sources install
first=$(wait_until new_service) || fail "install: the service did not start"
[ -z "$first" ] || check_start_sequence install "$first"
check_state install RUNNING
check_not_planted install

# The automatic start: a new session is a boot for Wine's services.exe.
end_session
start_session "$logs/session-2.err"
boot=$(wait_until new_service) || fail "boot: the service did not start by itself"
[ -z "$boot" ] || check_start_sequence boot "$boot"
check_state boot RUNNING

# --- A newer version over it -----------------------------------------------------------------------

msiexec upgrade 0 /i 'C:\tarn\next.msi'
check_files upgrade "$packages/files-next" ""
check_registration upgrade
check_event_sources upgrade
upgraded=$(wait_until new_service "$boot") || fail "upgrade: the new service did not start"
[ -z "$upgraded" ] || check_start_sequence upgrade "$upgraded"
[ -z "$boot" ] || wait_for_report "$boot" "service control stop success."
check_state upgrade RUNNING
next_version=$(product_version "$packages/next.msi")
[ "$(products)" == "$next_version" ] ||
    fail "upgrade: the installed products are \"$(products | tr '\n' ' ')\", expected $next_version"

# --- The executable's own commands next to the installed copy ------------------------------------

run_exe uninstall-running 4294967295 uninstall
check_registration uninstall-running
check_state uninstall-running RUNNING
"$wine_run" sc stop "$name" >"$logs/sc-stop.out" 2>&1 || fail "sc stop: exit status $?"
# The stopped process installs the service once more, and fails: only after that may it go.
[ -z "$upgraded" ] || wait_for_report "$upgraded" "service install failed."
run_exe uninstall-stopped 0 uninstall
[ -z "$(key_values "$service_key")" ] || fail "uninstall-stopped: the service is still registered"
run_exe install-again 0 install
check_registration install-again
known=$(service_pids)
"$wine_run" sc start "$name" >"$logs/sc-start.out" 2>&1 || fail "sc start: exit status $?"
restarted=$(wait_until new_service $known) || fail "sc start: the service did not start"
check_state sc-start RUNNING

# --- Uninstallation --------------------------------------------------------------------------------

msiexec uninstall 0 /x 'C:\tarn\next.msi'
uninstall_time=$elapsed
# The stopped process's last report: its own installation failed because the removal had waited
# for it. Had the removal come first, the process would have registered the service again.
[ -z "$restarted" ] || wait_for_report "$restarted" "service install failed."
check_nothing_left uninstall
check_not_planted uninstall

# --- A failed installation rolls back --------------------------------------------------------------

# The package with one more step after the start, which fails: the executable with a bad argument.
cp "$packages/current.msi" "$drive_c/tarn/fail.msi"
msibuild "$drive_c/tarn/fail.msi" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('FailForTest', 3090, 'ServiceExe', 'fail')" &&
    msibuild "$drive_c/tarn/fail.msi" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('FailForTest', 'NOT Installed', 5950)" ||
    fail "making the failing package"
msiexec failed-install failure /i 'C:\tarn\fail.msi'
grep -q 'RemoveServiceOnRollback: the service.s registration is removed' "$drive_c/tarn/failed-install.log" ||
    fail "failed-install: the rollback did not remove the registration"
check_nothing_left failed-install

# --- A registration made by hand ------------------------------------------------------------------

mkdir -p "$unix_dir"
cp "$packages/files-current/$name.exe" "$unix_dir/"
run_exe hand-install 0 install
msiexec over-hand-install failure /i 'C:\tarn\current.msi'
# Refused by a launch condition (Wine's log leaves out the message): nothing was installed.
grep -q 'Action ended .*: LaunchConditions\.' "$drive_c/tarn/over-hand-install.log" &&
    ! grep -q 'Action start .*: InstallFiles\.' "$drive_c/tarn/over-hand-install.log" ||
    fail "over-hand-install: not refused by a launch condition"
check_registration over-hand-install
[ -e "$unix_dir/$name.exe" ] || fail "over-hand-install: the hand-installed file is gone"
run_exe hand-uninstall 0 uninstall
rm -rf "$drive_c/Program Files/Vantor"
check_not_planted end

end_run "$logs and $drive_c/tarn"
echo "package checks passed in $((SECONDS - started)) s; install $install_time s, uninstall $uninstall_time s"
