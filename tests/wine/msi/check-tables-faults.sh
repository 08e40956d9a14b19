#!/usr/bin/env bash
# The tables check, checked: what its rules hold to, Wine's msiexec does not check (it installs a
# package whose rollback action comes after its action as it installs a sound one), so the check
# is all that guards them, and a rule deleted from it must show.
# Each copy of the built next.msi here (the smaller package) has one fault, for one rule (a few
# for the rollback rule, which several columns make up), and the check must fail on it with
# exactly the lines that name that fault.
#
# Usage: check-tables-faults.sh CHECK-TABLES PACKAGES
#   PACKAGES: the folder check-package.sh made (current.msi, next.msi)
set -uo pipefail
check_tables=$1 packages=$2
# shellcheck source=SCRIPTDIR/../support/wine-session.sh
source "$(dirname "$0")/../support/wine-session.sh"

work=$PWD/tables-faults
rm -rf "$work"
mkdir -p "$work/copies"

column() { # TABLE KEY COLUMN-NUMBER: a column of next.msi's row KEY
    msiinfo export "$packages/next.msi" "$1" | tr -d '\r' |
        awk -F'\t' -v key="$2" -v n="$3" '$1 == key { print $n }'
}
version=$(product_version "$packages/next.msi").0
exe=VantorTarnWindowsUpdateService.exe
exe_guid=$(column Component ServiceExecutable 2)
register_type=$(column CustomAction RegisterService 2)
rollback_type=$(column CustomAction RemoveServiceOnRollback 2)
copies=0

# fault NAME alone|paired SQL... -- LINE...: a copy NAME.msi of next.msi changed by the SQL
# statements fails the check with the failure lines LINE, in that order, and no other; a "paired"
# one is held against current.msi, as an upgrade from it.
fault() {
    local name=$1 copy=$work/copies/$1.msi output status against=()
    [ "$2" == alone ] || against=("$packages/current.msi")
    shift 2
    copies=$((copies + 1))
    cp "$packages/next.msi" "$copy" || { fail "$name: no copy"; return; }
    while [ "$1" != -- ]; do
        msibuild "$copy" -q "$1" || { fail "$name: cannot make the copy: $1"; return; }
        shift
    done
    shift
    output=$(python3 "$check_tables" "$work/extracted" "${against[@]}" "$copy")
    status=$?
    [ "$status" == 1 ] || fail "$name: the check exits with $status"
    expect_same "$name: the check's failure lines differ" "$(printf 'FAIL: %s\n' "$@")" \
        "$(grep '^FAIL' <<<"$output")"
}

# A file's row and its version resource.
fault language alone "UPDATE File SET Language = '1031' WHERE File = 'ServiceExe'" -- \
    "language.msi: $exe: the row says '$version', '1031'; the file says '$version', '1033'"
fault hashed alone "INSERT INTO MsiFileHash (File_, Options, HashPart1, HashPart2, HashPart3, HashPart4) VALUES ('ServiceExe', 0, 1, 2, 3, 4)" -- \
    "hashed.msi: $exe: a versioned file with a MsiFileHash row"
fault product-version alone "UPDATE Property SET Value = '9.9.9' WHERE Property = 'ProductVersion'" -- \
    "product-version.msi: $exe: version '$version' in a package of 9.9.9" \
    "product-version.msi: TarnEventMessages.dll: version '$version' in a package of 9.9.9"

# A component from one package to the next.
fault new-guid paired "UPDATE Component SET ComponentId = '{0D7E5C8A-3B2F-4A61-9E04-C5F8B1D2A370}' WHERE Component = 'ServiceExecutable'" -- \
    "current.msi and new-guid.msi: $exe in ServiceDir has two component GUIDs"
fault moved paired "UPDATE Component SET Directory_ = 'TarnDir' WHERE Component = 'ServiceExecutable'" -- \
    "current.msi and moved.msi: component $exe_guid holds ('ServiceDir', '$exe'), then ('TarnDir', '$exe')" \
    "current.msi and moved.msi: component $exe_guid holds ('TarnDir', '$exe'), then ('ServiceDir', '$exe')"

# The deferred actions.
fault impersonated alone "UPDATE CustomAction SET Type = $((register_type & ~0x800)) WHERE Action = 'RegisterService'" -- \
    "impersonated.msi: RegisterService runs impersonating the user"
fault outside alone "UPDATE InstallExecuteSequence SET Sequence = 6650 WHERE Action = 'UpgradeAttachedTarns'" -- \
    "outside.msi: UpgradeAttachedTarns is outside InstallInitialize..InstallFinalize"
no_rollback="has no rollback action before it, under its condition"
fault rollback-after alone "UPDATE InstallExecuteSequence SET Sequence = 5803 WHERE Action = 'RemoveServiceOnRollback'" -- \
    "rollback-after.msi: RegisterService $no_rollback"
fault rollback-condition alone "UPDATE InstallExecuteSequence SET Condition = 'TARNSERVICEIMAGE' WHERE Action = 'UnregisterServiceRollback'" -- \
    "rollback-condition.msi: UnregisterService $no_rollback"
fault rollback-type alone "UPDATE CustomAction SET Type = $((rollback_type & ~0x100)) WHERE Action = 'RemoveServiceOnRollback'" -- \
    "rollback-type.msi: RemoveServiceOnRollback $no_rollback" \
    "rollback-type.msi: RegisterService $no_rollback"
fault unknown-action alone \
    "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('ResetTarns', $register_type, 'ServiceExe', 'reset')" \
    "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('ResetTarns', '', 5850)" -- \
    "unknown-action.msi: ResetTarns $no_rollback"

# The folders.
fault public-folder alone "INSERT INTO Directory (Directory, Directory_Parent, DefaultDir) VALUES ('TARNLOGS', 'ServiceDir', 'Logs')" -- \
    "public-folder.msi: the folder TARNLOGS has a public name"

if ((failures > 0)); then
    echo "$failures failures; copies in $work" >&2
    exit 1
fi
echo "the tables check fails on each of $copies wrong copies, with the lines of its fault"
