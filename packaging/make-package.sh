#!/usr/bin/env bash
# Builds the MSI package from the files of the Windows build, and signs the executable, the DLLs
# and the package when it is given a certificate:
#   TARN_SIGN_PKCS12          a PKCS#12 file with the code-signing certificate and its key
#   TARN_SIGN_PASSWORD        its password (handed to osslsigncode on standard input)
#   TARN_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server (optional)
# Without TARN_SIGN_PKCS12 it builds unsigned and says so.
#
# Usage: make-package.sh --version X.Y.Z --exe FILE --messages FILE --actions FILE --stage DIR
#                        --out FILE.msi [--payload DIR]
# The payload folder holds what a site deploys beside the service: dfu-util.exe, the DLLs it
# needs and firmware packages (*.dfu); nothing else.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

fail() {
    echo "make-package: $*" >&2
    exit 1
}
usage() {
    sed -n 's/^# Usage: //p; s/^#  *\(--.*\)/\1/p' "$0" >&2
    exit 2
}

version='' exe='' messages='' actions='' stage='' out='' payload=''
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
    --version) version=$2 ;;
    --exe) exe=$2 ;;
    --messages) messages=$2 ;;
    --actions) actions=$2 ;;
    --stage) stage=$2 ;;
    --out) out=$2 ;;
    --payload) payload=$2 ;;
    *) usage ;;
    esac
    shift 2
done
for value in "$version" "$exe" "$messages" "$actions" "$stage" "$out"; do
    [ -n "$value" ] || usage
done
for tool in wixl msibuild osslsigncode python3; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done

signing=no
if [ -n "${TARN_SIGN_PKCS12:-}" ]; then
    [ -f "$TARN_SIGN_PKCS12" ] || fail "TARN_SIGN_PKCS12: no file $TARN_SIGN_PKCS12"
    signing=yes
else
    echo "make-package: WARNING: TARN_SIGN_PKCS12 is not set: the files and the package are UNSIGNED"
fi

# Authenticode, SHA-256; the password goes on standard input, not on a command line.
sign() {
    local file=$1 description=$2
    local args=(sign -pkcs12 "$TARN_SIGN_PKCS12" -readpass - -h sha256 -n "$description")
    [ -z "${TARN_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$TARN_SIGN_TIMESTAMP_URL")
    rm -f "$file.signed"
    if ! printf '%s' "${TARN_SIGN_PASSWORD:-}" |
        osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >"$file.log" 2>&1; then
        cat "$file.log" >&2
        fail "signing $(basename "$file") failed"
    fi
    mv "$file.signed" "$file"
    rm -f "$file.log"
    echo "make-package: signed $(basename "$file")"
}

# The component GUID of a payload file: the same for the same name (in any letter case) in every
# package. An upgrade installs itself before it removes the older product, which then leaves the
# files both carry to the new one and removes only the ones the new one dropped.
payload_guid() {
    python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2].lower())).upper())' \
        5F0C7A3E-2B61-4E8D-9A47-C3D18E6B0F92 "$1"
}

# The site's files, one component each, as the component group "Payload". They are not ours, so
# they are not signed here.
payload_fragment() {
    local n=0 path name refs=''
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">'
    echo '  <Fragment>'
    echo '    <DirectoryRef Id="ServiceDir">'
    for path in ${payload:+"$payload"/*}; do
        [ -e "$path" ] || continue # an empty folder
        name=$(basename "$path")
        [ -f "$path" ] || fail "$path is not a file"
        case ${name,,} in
        dfu-util.exe | *.dll | *.dfu) ;;
        *) fail "$path: only dfu-util.exe, its DLLs and *.dfu packages belong in the payload" ;;
        esac
        case $name in
        *[\&\<\>\"]*) fail "$path: a name with & < > or \" is not supported" ;;
        esac
        n=$((n + 1))
        cp "$path" "$stage/payload-$n"
        echo "      <Component Id=\"Payload$n\" Guid=\"{$(payload_guid "$name")}\" Win64=\"yes\">"
        echo "        <File Id=\"Payload$n\" Name=\"$name\" Source=\"payload-$n\" KeyPath=\"yes\"/>"
        echo '      </Component>'
        refs+="      <ComponentRef Id=\"Payload$n\"/>"$'\n'
    done
    echo '    </DirectoryRef>'
    echo '    <ComponentGroup Id="Payload">'
    printf '%s' "$refs"
    echo '    </ComponentGroup>'
    echo '  </Fragment>'
    echo '</Wix>'
}

rm -rf "$stage"
mkdir -p "$stage" "$(dirname "$out")"
stage=$(cd "$stage" && pwd)
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
cp "$exe" "$stage/VantorTarnWindowsUpdateService.exe"
cp "$messages" "$stage/TarnEventMessages.dll"
cp "$actions" "$stage/TarnSetupActions.dll"
# A wrong payload fails before anything is signed.
if [ -n "$payload" ]; then
    [ -d "$payload" ] || fail "no folder $payload"
fi
payload_fragment >"$stage/payload.wxs"
if [ "$signing" = yes ]; then
    for file in VantorTarnWindowsUpdateService.exe TarnEventMessages.dll TarnSetupActions.dll; do
        sign "$stage/$file" "Vantor Tarn update service"
    done
fi
[ -z "$payload" ] || echo "make-package: $(grep -c '<File ' "$stage/payload.wxs") files from $payload"

rm -f "$out"
# wixl takes the files' sources relative to the folder it runs in.
(cd "$stage" && wixl -a x64 -D Version="$version" -o "$out" "$here/msi/VantorTarnUpdateService.wxs" \
    payload.wxs) || fail "wixl failed"
# What wixl writes otherwise than the source says. Rollback actions come out as immediate ones;
# their type: an executable of the File table (18) or a function of a DLL of the Binary table (1),
# ignoring the result (0x40), in the script (0x400) as a rollback (0x100), as LocalSystem (0x800).
# The actions that set a property get their plain type 51, without wixl's 0x800. A package rebuilt
# at the installed version (new firmware in its payload) is an upgrade too: the upgrade's version
# range includes its own version (0x200 beside wixl's 1; the attributes are part of the row's
# key, so the row is written anew).
upgrade_code=$(sed -n 's/.*UpgradeCode="\({[^"]*}\)".*/\1/p' "$here/msi/VantorTarnUpdateService.wxs")
fixes=(
    "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"
    "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
    # The key where the service keeps its record of the Tarns goes, with its subkeys, when the
    # service's component is removed, and only then: an upgrade and a repair keep the component.
    # A Name "-" row, which wixl cannot write.
    "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('ProductKey', 2, 'SOFTWARE\\Vantor\\Tarn', '-', 'ServiceExecutable')"
    "UPDATE CustomAction SET Type = 3410 WHERE Action = 'UnregisterServiceRollback'"
    "UPDATE CustomAction SET Type = 3393 WHERE Action = 'RemoveServiceOnRollback' OR Action = 'StopServiceOnRollback'"
    "UPDATE CustomAction SET Type = 51 WHERE Action = 'WaitForServiceExitData' OR Action = 'StopServiceOnRollbackData'"
)
# Windows Installer compares versioned files by their version alone, and keeps an installed
# versioned file over one whose row has none: each file with a version resource gets its
# version and languages, and loses the hash that wixl gives every file.
versioned=(ServiceExe:VantorTarnWindowsUpdateService.exe EventMessagesDll:TarnEventMessages.dll)
for path in "$stage"/payload-*; do
    [ -e "$path" ] || continue # no payload
    versioned+=("Payload${path##*-}:${path##*/}")
done
for entry in "${versioned[@]}"; do
    id=${entry%%:*}
    info=$(python3 "$here/file-version.py" "$stage/${entry#*:}") ||
        fail "${entry#*:}: its version resource cannot be read"
    [ -n "$info" ] || continue
    fixes+=("UPDATE File SET Version = '${info% *}', Language = '${info#* }' WHERE File = '$id'"
        "DELETE FROM MsiFileHash WHERE File_ = '$id'")
done
for fix in "${fixes[@]}"; do
    msibuild "$out" -q "$fix" || fail "$fix"
done
if [ "$signing" = yes ]; then
    sign "$out" "Vantor Tarn update service $version"
fi
echo "make-package: $out ($(stat -c %s "$out") bytes, $([ "$signing" = yes ] && echo signed || echo UNSIGNED))"
