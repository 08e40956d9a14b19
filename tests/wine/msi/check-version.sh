#!/usr/bin/env bash
# The version the package command sets (scripts/make-msi --version, through TARN_VERSION): it
# reaches both version resources, the package and its name; an empty one is the project's again,
# as the package command's reused build folder needs; one beyond a product version's limits is
# refused. Configuration only, in a scratch folder.
#
# Usage: check-version.sh SOURCE-DIR TOOLCHAIN-FILE PROJECT-VERSION
set -uo pipefail
source_dir=$1 toolchain=$2 project_version=$3
dir=$PWD/version-check
rm -rf "$dir"
# shellcheck source=SCRIPTDIR/../support/wine-session.sh
source "$(dirname "$0")/../support/wine-session.sh"

configure() {
    cmake -S "$source_dir" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DTARN_BUILD_TESTS=OFF -DTARN_VERSION="$1" >"$dir.log" 2>&1
}
# The package's version and name, and the versions of the two resources, one line each.
versions() {
    grep -o 'make-package.sh --version [0-9.]*\|VantorTarnUpdateService-[0-9.]*-x64\.msi' \
        "$dir/build.ninja" | LC_ALL=C sort -u
    sed -n 's/^#define TARN_VERSION_TEXT //p' \
        "$dir/src/service/VantorTarnWindowsUpdateService.version/TarnVersionInfo.rc" \
        "$dir/packaging/TarnEventMessages.version/TarnVersionInfo.rc"
}
expected() {
    printf '%s\n' "VantorTarnUpdateService-$1-x64.msi" "make-package.sh --version $1" \
        "\"$1.0\"" "\"$1.0\""
}

configure 2.3.4 || fail "configuring with 2.3.4: $(tail -5 "$dir.log")"
expect_same "the version 2.3.4 does not reach every place" "$(expected 2.3.4)" "$(versions)"
configure '' || fail "configuring without a version: $(tail -5 "$dir.log")"
expect_same "without a version, the project's is not back" "$(expected "$project_version")" "$(versions)"
if configure 256.0.0; then
    fail "the version 256.0.0 was accepted"
fi
grep -q 'version "256.0.0": at most 255.255.65535' "$dir.log" || fail "256.0.0 refused without saying why"

((failures == 0)) || exit 1
rm -rf "$dir" "$dir.log"
echo "versions checked"
