#!/usr/bin/env bash
# The MSI package under Wine's msiexec and Service Control Manager, in order, in one prefix:
# a silent installation, the automatic start at the next boot, the same version rebuilt with new
# firmware over it, a newer version that fails just before its end, a major upgrade, the refused
# downgrade, the executable's own "uninstall" next to the installed copy and the repair that
# restores it, the uninstallation, a failed installation that rolls back, and the refusals to
# install over a registration made by hand, on a system whose Program Files folder is elsewhere
# and in a folder of one's own. The Tarns' record under the product key stays through an
# upgrade and a repair, and goes with the removal. A planted "C:\Program.exe" must never run.
# The rebuild, the repair and the removal run beside a process of the installed executable that
# the Service Control Manager did not start, which they must not wait for.
#
# Where Wine's msiexec does otherwise than Windows Installer, the checks are of what both do, and
# the steps marked "Wine's msiexec only" put Wine's state right before the next run.
#
# Wine hands the standard error of the services it starts to the first process of the session, so
# each session's first process is the helper's "wait" role with the event-log channel on; the
# service's reports are read from there, through tests/wine/support/parse-reports.py.
#
# Usage: check-msi.sh PACKAGES HELPER-EXE PROBE-EXE WINE-RUN
#   PACKAGES: the folder check-package.sh made (current.msi, next.msi, rebuild.msi, files-*,
#             payload, payload2)
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

# The start sequence, in order and once each. The worker's reports (its start, its look at start)
# and the control handler's (the package's control 128 comes as soon as the service reports
# running, before its start has ended) come from other threads, at any point in between.
check_start_sequence() {
    local label=$1 pid=$2 actual
    local expected="run Tarn windows update normally.
enter service main function.
enter initialize service function.
register service control handler success.
enter registerStart function.
initialize service success."
    actual=$(texts_of "$pid" | grep -xF "$expected" | head -6)
    expect_same "$label: the service's start sequence differs" "$expected" "$actual"
}

# --- Running things --------------------------------------------------------------------------------

# msiexec LABEL CODE ARGS: a silent msiexec run with a verbose log, and its exit code; CODE
# "failure" is any but 0 (Windows gives 1603, Wine 1603 or 1627), "success" 0 or 3010 (a file in
# use is replaced or removed at the next restart).
msiexec() {
    local label=$1 code=$2 t0
    shift 2
    t0=$(date +%s.%N)
    spawn "$label" "msiexec $* /qn /l*v C:\\tarn\\$label.log"
    elapsed=$(echo "$(date +%s.%N) - $t0" | bc)
    echo "$label: msiexec $* /qn: exit code $exit_code, $elapsed s"
    if [ "$code" == failure ]; then
        [[ $exit_code =~ ^[1-9][0-9]*$ ]] || fail "$label: msiexec exit code $exit_code, expected a failure"
    elif [ "$code" == success ]; then
        [[ $exit_code =~ ^(0|3010)$ ]] || fail "$label: msiexec exit code $exit_code, expected 0 or 3010"
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

# check_refused LABEL: the run was refused by a launch condition (Wine's log leaves out the
# message): nothing was installed.
check_refused() {
    grep -q 'Action ended .*: LaunchConditions\.' "$drive_c/tarn/$1.log" &&
        ! grep -q 'Action start .*: InstallFiles\.' "$drive_c/tarn/$1.log" ||
        fail "$1: not refused by a launch condition"
}

# The Tarns' record, as the service keeps it under its product key; written here, since the
# service writes it only at a pass, and Wine has no Tarn for one.
record_key='HKLM\Software\Vantor\Tarn'
record="FirmwareVersion REG_SZ 0103
LastOutcome REG_DWORD 0x4
Mode REG_SZ runtime"
write_record() {
    printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
        '[HKEY_LOCAL_MACHINE\Software\Vantor\Tarn\Devices\SN0001]' '"FirmwareVersion"="0103"' \
        '"Mode"="runtime"' '"LastOutcome"=dword:00000004' >"$drive_c/tarn/record.reg"
    "$wine_run" reg import 'C:\tarn\record.reg' >/dev/null 2>&1 || fail "the record cannot be written"
}

check_record() {
    expect_same "$1: the Tarns' record differs" "$record" \
        "$(key_values "$record_key\\Devices\\SN0001" | sort)"
}

# The installed products of ours, as "VERSION" lines.
products() {
    "$wine_run" reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
        /^HKEY/ { ours = 0; version = "" }
        $1 == "DisplayName" && $0 ~ /Vantor Tarn update service$/ { ours = 1 }
        $1 == "DisplayVersion" { version = $3 }
        ours && version != "" { print version; ours = 0 }'
}

# The installed product of ours: "CODE VERSION" per product, by the keys' names.
check_product() {
    local label=$1 msi=$2 code listed
    code=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
    listed=$(products)
    [ "$listed" == "$(product_version "$msi")" ] && [ -n "$(key_values "$uninstall_key\\$code")" ] ||
        fail "$label: the installed products are \"${listed//$'\n'/ }\", expected $(basename "$msi") alone"
}

# derive SOURCE TARGET ACTION SEQUENCE CONDITION: a copy of a package with one more step, which
# fails: the installed executable run with a bad argument (deferred, as LocalSystem).
derive() {
    [ "$1" -ef "$2" ] || cp "$1" "$2"
    msibuild "$2" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('$3', 3090, 'ServiceExe', 'fail')" &&
        msibuild "$2" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('$3', '$5', $4)" ||
        fail "making $(basename "$2")"
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

# hold_copy: a process of the installed executable that someone other than the Service Control
# Manager started, suspended so that it stays until release_copy; its ID in $held.
hold_copy() {
    rm -f "$drive_c/tarn-held-ready" "$drive_c/tarn-held-stop"
    "$wine_run" "$helper_exe" hold "\"$win_exe\"" 'C:\tarn-held-ready' 'C:\tarn-held-stop' \
        >"$logs/held.out" 2>"$logs/held.err" &
    holder=$!
    wait_until test -e "$drive_c/tarn-held-ready" || fail "the held copy did not start"
    held=$(tr -d '\r' <"$logs/held.out")
}

release_copy() {
    touch "$drive_c/tarn-held-stop"
    wait "$holder"
    holder=
}

# check_waits LABEL PID: the run took the service's process PID to wait for; the held copy still
# runs.
check_waits() {
    grep -q "the service's process $2 " "$drive_c/tarn/$1.log" ||
        fail "$1: the service's process $2 was not the one taken"
    [ -z "${holder:-}" ] || kill -0 "$holder" 2>/dev/null || fail "$1: the held copy $held is gone"
}

# check_look LABEL PID: the run asked the service it started (process PID) to look for the Tarns
# attached now, and the service looked; Wine has no Tarn to find.
check_look() {
    grep -q 'UpgradeAttachedTarns: the service looks for the attached Tarns' "$drive_c/tarn/$1.log" ||
        fail "$1: the package did not ask the service to look for attached Tarns"
    [ -z "$2" ] || wait_for_report "$2" "control code: upgrade attached devices."
    [ -z "$2" ] || wait_for_report "$2" "no attached Tarn found."
}

# check_rolled_back LABEL: the log has the failing step, then the rollback, which stops the
# service that the run started once it has taken its process. Wine's msiexec stops the service
# in a first pass of its rollback, before that action runs, so the action finds no process
# there; Windows Installer runs the one rollback script backwards, the action before its stop.
check_rolled_back() {
    awk '/: FailLateForTest\. Return value [^1]/ { failed = 1 }
         failed && /^Action start .*: StopServiceOnRollback\.$/ { rolled = 1 }
         END { exit !rolled }' "$drive_c/tarn/$1.log" ||
        fail "$1: no failure, then rollback, in the log"
}

# A GUID as Windows Installer names its registry keys: the first three groups reversed, each
# later byte's two digits swapped.
packed_guid() {
    local g=${1//[\{\}-]/}
    echo "$(rev <<<"${g:0:8}")$(rev <<<"${g:8:4}")$(rev <<<"${g:12:4}")$(
        sed 's/\(.\)\(.\)/\2\1/g' <<<"${g:16}")"
}

msi_property() {
    msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v name="$2" '$1 == name { print $2 }'
}

# Wine's msiexec only: removing the older product at the end of an upgrade, it deletes the
# upgrade code's whole list of products, where Windows removes the older product's entry alone.
# This puts back the entry of the given package's product, or the next package would not find it
# installed.
wine_keep_upgrade_code() {
    local key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes"
    key+="\\$(packed_guid "$(msi_property "$1" UpgradeCode)")"
    "$wine_run" reg add "$key" /v "$(packed_guid "$(msi_property "$1" ProductCode)")" /f \
        >/dev/null 2>&1 || fail "the upgrade code's entry of $(basename "$1") cannot be written"
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
cp "$packages/current.msi" "$packages/rebuild.msi" "$drive_c/tarn/"
# The next version, which fails just before the end of its installation when the property
# TARNTESTFAIL is "late"; the current one failing after the service's start. (A removal that
# fails is not among the runs: Wine's msiexec runs no rollback action after it, so the
# registration the removal took stays gone.)
derive "$packages/next.msi" "$drive_c/tarn/next.msi" FailLateForTest 6599 'TARNTESTFAIL="late"'
derive "$packages/current.msi" "$drive_c/tarn/fail.msi" FailLateForTest 5950 'NOT Installed'
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
check_look install "$first"
check_state install RUNNING
check_not_planted install

# The automatic start: a new session is a boot for Wine's services.exe.
end_session
start_session "$logs/session-2.err"
boot=$(wait_until new_service) || fail "boot: the service did not start by itself"
[ -z "$boot" ] || check_start_sequence boot "$boot"
check_state boot RUNNING

# --- The same version rebuilt with new firmware, beside another process of the executable -------

hold_copy
msiexec rebuild 0 /i 'C:\tarn\rebuild.msi'
rebuild_time=$elapsed
check_waits rebuild "$boot"
release_copy
# A versioned file is replaced only by a higher version: the executable and the DLL stay.
check_files rebuild "$packages/files-current" "$packages/payload2"
check_registration rebuild
check_product rebuild "$packages/rebuild.msi"
rebuilt=$(wait_until new_service "$boot") || fail "rebuild: the service did not start again"
check_state rebuild RUNNING
wine_keep_upgrade_code "$packages/rebuild.msi"

# --- A newer version that fails just before its end ------------------------------------------------

msiexec failed-upgrade failure /i 'C:\tarn\next.msi' TARNTESTFAIL=late
failed_upgrade_time=$elapsed
# What Windows Installer promises, and Wine's msiexec does too: the older product is still the one
# installed, and the newer one is not; the registration stays; the log has the failing step, then
# the rollback.
check_product failed-upgrade "$packages/rebuild.msi"
check_registration failed-upgrade
check_rolled_back failed-upgrade
# Wine's msiexec only: its rollback deletes the files the newer version shares with the older one
# and the older one's event sources, and leaves the service stopped, where Windows Installer puts
# back what it replaced and starts the service again. A repair of the older product does that.
known=$(service_pids)
msiexec wine-repair 0 /i 'C:\tarn\rebuild.msi' REINSTALL=ALL REINSTALLMODE=vamus
repaired=$(wait_until new_service $known) || fail "wine-repair: the service did not start"
# The Tarns' record, from here on. Not before: that rollback of Wine's removes the product's
# components, and with them the key, which Windows keeps and no repair restores.
write_record

# --- A newer version over it -----------------------------------------------------------------------

# As a deployment runs it that names the fixed folder, out of habit, as INSTALLDIR: not refused.
known=$(service_pids)
msiexec upgrade 0 /i 'C:\tarn\next.msi' 'INSTALLDIR="C:\Program Files\Vantor\Tarn\Services"'
upgrade_time=$elapsed
check_waits upgrade "$repaired"
check_files upgrade "$packages/files-next" ""
check_registration upgrade
check_event_sources upgrade
upgraded=$(wait_until new_service $known) || fail "upgrade: the new service did not start"
[ -z "$upgraded" ] || check_start_sequence upgrade "$upgraded"
check_look upgrade "$upgraded"
[ -z "$repaired" ] || wait_for_report "$repaired" "service control stop success."
check_state upgrade RUNNING
check_product upgrade "$packages/next.msi"
check_record upgrade
wine_keep_upgrade_code "$packages/next.msi"

# --- An older version over it ----------------------------------------------------------------------

msiexec downgrade failure /i 'C:\tarn\current.msi'
check_refused downgrade
check_product downgrade "$packages/next.msi"
check_files downgrade "$packages/files-next" ""
check_state downgrade RUNNING

# --- The executable's own commands next to the installed copy ------------------------------------

run_exe uninstall-running 4294967295 uninstall
check_registration uninstall-running
check_state uninstall-running RUNNING
"$wine_run" sc stop "$name" >"$logs/sc-stop.out" 2>&1 || fail "sc stop: exit status $?"
# The stopped process installs the service once more, and fails: only after that may it go.
[ -z "$upgraded" ] || wait_for_report "$upgraded" "service install failed."
run_exe uninstall-stopped 0 uninstall
[ -z "$(key_values "$service_key")" ] || fail "uninstall-stopped: the service is still registered"

# --- A repair restores the registration, a deleted file and the running service -------------------

# Beside another process of the executable, which keeps its file in use: Windows Installer
# replaces or deletes the file at the next restart and says so (3010).
hold_copy
rm "$unix_dir/TarnEventMessages.dll"
known=$(service_pids)
msiexec repair success /i 'C:\tarn\next.msi' REINSTALL=ALL REINSTALLMODE=vamus
repair_time=$elapsed
# The service's process has ended before any file is replaced: a repair needs no restart for it.
awk '/^Action start .*: WaitForServiceExit\.$/ { waited = 1 }
     /^Action start .*: InstallFiles\.$/ { files = 1; early = early || !waited }
     END { exit early || !files }' "$drive_c/tarn/repair.log" ||
    fail "repair: the files were not replaced after the wait for the service's process"
check_registration repair
cmp -s "$packages/files-next/TarnEventMessages.dll" "$unix_dir/TarnEventMessages.dll" ||
    fail "repair: TarnEventMessages.dll is not back"
restarted=$(wait_until new_service $known) || fail "repair: the service did not start"
check_state repair RUNNING
check_record repair

# --- Uninstallation --------------------------------------------------------------------------------

msiexec uninstall success /x 'C:\tarn\next.msi'
uninstall_time=$elapsed
check_waits uninstall "$restarted"
# The stopped process's last report: its own installation failed because the removal had waited
# for it. Had the removal come first, the process would have registered the service again.
[ -z "$restarted" ] || wait_for_report "$restarted" "service install failed."
release_copy
# Wine's msiexec only: it leaves the executable that the copy kept in use, and does not mark it
# for deletion at the next restart, as Windows Installer does (and then says 3010). Nothing else
# may be left; the test deletes the rest.
[ "$(ls "$unix_dir" 2>/dev/null)" == "$name.exe" ] ||
    fail "uninstall: the service directory holds: $(ls "$unix_dir" 2>/dev/null | tr '\n' ' ')"
rm -rf "$unix_dir"
check_nothing_left uninstall
# The record goes with the product, Tarns and all (only the key: the vendor's key above it may be
# another product's too).
! WINEDEBUG=-all "$wine_run" reg query "$record_key" >/dev/null 2>&1 ||
    fail "uninstall: $record_key is left: $(key_values "$record_key\\Devices\\SN0001")"
check_not_planted uninstall

# --- A failed installation rolls back --------------------------------------------------------------

msiexec failed-install failure /i 'C:\tarn\fail.msi'
grep -q 'RemoveServiceOnRollback: the service.s registration is removed' "$drive_c/tarn/failed-install.log" ||
    fail "failed-install: the rollback did not remove the registration"
check_rolled_back failed-install
check_nothing_left failed-install

# --- A registration made by hand ------------------------------------------------------------------

mkdir -p "$unix_dir"
cp "$packages/files-current/$name.exe" "$unix_dir/"
run_exe hand-install 0 install
msiexec over-hand-install failure /i 'C:\tarn\current.msi'
check_refused over-hand-install
check_registration over-hand-install
[ -e "$unix_dir/$name.exe" ] || fail "over-hand-install: the hand-installed file is gone"
run_exe hand-uninstall 0 uninstall
rm -rf "$drive_c/Program Files/Vantor"

# --- A system whose Program Files folder is elsewhere ---------------------------------------------

# Where Wine's shell, and so msiexec, finds the Program Files folder.
current_version_key='HKLM\Software\Microsoft\Windows\CurrentVersion'
"$wine_run" reg add "$current_version_key" /v ProgramFilesDir /d 'D:\Programs' /f >/dev/null 2>&1
msiexec program-files failure /i 'C:\tarn\current.msi'
"$wine_run" reg add "$current_version_key" /v ProgramFilesDir /d 'C:\Program Files' /f >/dev/null 2>&1
check_refused program-files
check_nothing_left program-files

# --- An installation folder of one's own -----------------------------------------------------------

# Moved, the service would run as LocalSystem from wherever it was put, a folder that its users
# may write to: refused, and nothing is left anywhere. (The folders' own names are private, which
# Wine's msiexec, like Windows Installer, does not take from a command line.)
msiexec elsewhere failure /i 'C:\tarn\current.msi' 'INSTALLDIR=C:\Moved\'
check_refused elsewhere
[ -z "$(key_values "$service_key")" ] || fail "elsewhere: the service is registered"
[ -z "$(find "$drive_c" -iname "$name.exe")" ] || fail "elsewhere: the executable was installed"
check_not_planted end

end_run "$logs and $drive_c/tarn"
echo "package checks passed in $((SECONDS - started)) s; install $install_time s," \
    "same-version rebuild $rebuild_time s, failed upgrade $failed_upgrade_time s," \
    "upgrade $upgrade_time s, repair $repair_time s, uninstall $uninstall_time s"
