#!/usr/bin/env bash
# Builds the packages that the Wine test installs, signed with a throwaway self-signed certificate,
# and checks the signatures, the versions and the unsigned build:
#   packages/current.msi   this version, with a payload (dfu-util.exe, a DLL, a firmware package)
#   packages/next.msi      the next version, from the second copy of the files, without payload
#   packages/rebuild.msi   this version again, with another payload (new firmware, another DLL)
# Every signature verifies with the certificate as its CA; a byte changed in a signed file fails
# verification.
#
# Usage: check-package.sh MAKE-PACKAGE VERSION EXE DLL NEXT-VERSION NEXT-EXE NEXT-DLL ACTIONS-DLL
#                         DFU-UTIL-EXE
set -uo pipefail
make_package=$1 version=$2 exe=$3 dll=$4 next_version=$5 next_exe=$6 next_dll=$7 actions=$8
dfu_util=$9

work=$PWD/package-work
packages=$PWD/packages
rm -rf "$work" "$packages"
mkdir -p "$work" "$packages"

# shellcheck source=SCRIPTDIR/../support/wine-session.sh
source "$(dirname "$0")/../support/wine-session.sh"

# --- A throwaway code-signing certificate ----------------------------------------------------------

password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vantor Tarn test signing" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" \
    >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; exit 1; }
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" \
    -passout "pass:$password" >>"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; exit 1; }

# --- The payload a site adds -----------------------------------------------------------------------

payload=$work/payload
mkdir -p "$payload"
cp "$dfu_util" "$payload/dfu-util.exe"
cp "$dll" "$payload/libusb-1.0.dll"
# A firmware package 0103 for the Tarn with its DFU suffix (bcdDevice, idProduct, idVendor, bcdDFU,
# "UFD", bLength, and the CRC over all bytes before it, without the final inversion).
python3 - "$payload/fw-0103.dfu" <<'PY'
import struct, sys, zlib
body = bytes(range(256)) * 4 + struct.pack("<HHHH3sB", 0x0103, 0x5710, 0x7C3E, 0x0100, b"UFD", 16)
open(sys.argv[1], "wb").write(body + struct.pack("<I", zlib.crc32(body) ^ 0xFFFFFFFF))
PY

# The same version rebuilt with new firmware: one file the same, one replaced, one gone, one new.
payload2=$work/payload2
mkdir -p "$payload2"
cp "$payload/dfu-util.exe" "$payload2/"
cp "$next_dll" "$payload2/libusb-1.0.dll"
cp "$payload/fw-0103.dfu" "$payload2/fw-0104.dfu"

# --- The packages ----------------------------------------------------------------------------------

export TARN_SIGN_PKCS12=$work/cert.p12 TARN_SIGN_PASSWORD=$password
build() {
    local name=$1
    shift
    if ! bash "$make_package" --actions "$actions" --stage "$work/stage-$name" \
        --out "$packages/$name.msi" "$@" >"$work/$name.log" 2>&1; then
        cat "$work/$name.log"
        fail "building $name.msi"
        exit 1
    fi
}
build current --version "$version" --exe "$exe" --messages "$dll" --payload "$payload"
build next --version "$next_version" --exe "$next_exe" --messages "$next_dll"
build rebuild --version "$version" --exe "$exe" --messages "$dll" --payload "$payload2"
grep -q 'signed VantorTarnWindowsUpdateService.exe' "$work/current.log" ||
    fail "make-package did not say that it signed"

# The staged copies are the packaged ones; the Wine test compares the installed files with them.
for name in current next rebuild; do
    cp -r "$work/stage-$name" "$packages/files-$name"
done
cp -r "$payload" "$packages/payload"
cp -r "$payload2" "$packages/payload2"

# --- Signatures ------------------------------------------------------------------------------------

verify() {
    osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1
}
signed=(
    "$work/stage-current/VantorTarnWindowsUpdateService.exe"
    "$work/stage-current/TarnEventMessages.dll"
    "$work/stage-current/TarnSetupActions.dll"
    "$packages/current.msi"
    "$packages/next.msi"
)
for file in "${signed[@]}"; do
    name=${file#"$work"/}
    name=${name#"$packages"/}
    if ! verify "$file"; then
        fail "$name: the signature does not verify"
        cat "$work/verify.log" >&2
        continue
    fi
    grep -q 'Message digest algorithm *: SHA256' "$work/verify.log" ||
        fail "$name: not signed with SHA-256"
    # One byte changed where the signature covers it: in a PE file anywhere before the appended
    # signature, in a package inside its embedded cabinet.
    tampered=$work/tampered
    cp "$file" "$tampered"
    if [[ $file == *.msi ]]; then
        offset=$(($(grep -obUaP 'MSCF' "$file" | head -1 | cut -d: -f1) + 100))
    else
        offset=$(($(stat -c %s "$file") / 2))
    fi
    byte=$(od -An -tu1 -j "$offset" -N1 "$tampered" | tr -d ' ')
    printf "\\x$(printf %02x $(((byte + 1) % 256)))" |
        dd of="$tampered" bs=1 seek="$offset" conv=notrunc status=none
    if verify "$tampered"; then
        fail "$name: still verifies with byte $offset changed"
    elif ! grep -q 'MISMATCH' "$work/verify.log"; then
        fail "$name: with byte $offset changed, verification fails for another reason"
        cat "$work/verify.log" >&2
    fi
done
echo "signatures: ${#signed[@]} verified, each failing with one byte changed"

# --- One version number ----------------------------------------------------------------------------

file_version() {
    x86_64-w64-mingw32-windres -i "$1" -O rc 2>/dev/null |
        sed -n 's/^ *VALUE "FileVersion", "\(.*\)"/\1/p'
}
for name in current:"$version" next:"$next_version"; do
    want=${name#*:}
    name=${name%%:*}
    [ "$(product_version "$packages/$name.msi")" == "$want" ] ||
        fail "$name.msi: ProductVersion $(product_version "$packages/$name.msi"), expected $want"
    for file in VantorTarnWindowsUpdateService.exe TarnEventMessages.dll; do
        got=$(file_version "$work/stage-$name/$file")
        [ "$got" == "$want.0" ] || fail "$name: $file has the version \"$got\", expected $want.0"
    done
done

product_code() {
    msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }'
}
[ "$(product_version "$packages/rebuild.msi")" == "$version" ] &&
    [ "$(product_code "$packages/rebuild.msi")" != "$(product_code "$packages/current.msi")" ] ||
    fail "rebuild.msi: not this version under a product code of its own"

# --- A payload that is not the service's ------------------------------------------------------------

bad=$work/payload-bad
cp -r "$payload" "$bad"
echo notes >"$bad/readme.txt"
if bash "$make_package" --version "$version" --exe "$exe" --messages "$dll" --actions "$actions" \
    --stage "$work/stage-bad" --out "$packages/bad.msi" --payload "$bad" >"$work/bad.log" 2>&1; then
    fail "a payload with readme.txt was packaged"
fi
grep -q 'readme.txt: only dfu-util.exe, its DLLs and \*.dfu packages belong in the payload' \
    "$work/bad.log" || fail "the refused payload is not named: $(cat "$work/bad.log")"
[ ! -e "$packages/bad.msi" ] || fail "a refused payload left a package"

# --- Without a certificate -------------------------------------------------------------------------

unset TARN_SIGN_PKCS12 TARN_SIGN_PASSWORD
build unsigned --version "$version" --exe "$exe" --messages "$dll"
grep -q 'WARNING: TARN_SIGN_PKCS12 is not set' "$work/unsigned.log" ||
    fail "the unsigned build does not say so"
for file in "$work/stage-unsigned/VantorTarnWindowsUpdateService.exe" "$packages/unsigned.msi"; do
    ! verify "$file" || fail "$file verifies, but nothing signed it"
done
rm -f "$packages/unsigned.msi"

if ((failures > 0)); then
    echo "$failures failures; files in $work" >&2
    exit 1
fi
echo "packages built in $packages: $(stat -c %s "$packages/current.msi") bytes (with payload)," \
    "$(stat -c %s "$packages/next.msi") bytes"
