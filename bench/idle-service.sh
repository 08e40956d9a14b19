#!/usr/bin/env bash
# The idle service on the stand-in: CPU time used over a period with no arrivals, and its
# resident memory. Usage: bench/idle-service.sh BUILD-DIR [SECONDS]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
name=VantorTarnWindowsUpdateService
export TARN_SYSROOT=$(mktemp -d)
trap '"$build/tools/sc/tarn-sc" stop $name >/dev/null 2>&1 || true; rm -rf "$TARN_SYSROOT"' EXIT
services="$TARN_SYSROOT/Program Files/Vantor/Tarn/Services"
mkdir -p "$services"
cp "$build/src/service/$name" "$services/$name.exe"
"$services/$name.exe" install >/dev/null
"$build/tools/sc/tarn-sc" start $name >/dev/null
pid=$("$build/tools/sc/tarn-sc" query $name | sed -n 's/.*PID *: *//p')
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(cpu)
sleep "$seconds"
after=$(cpu)
rss=$(sed -n 's/^VmRSS: *//p' "/proc/$pid/status")
threads=$(sed -n 's/^Threads: *//p' "/proc/$pid/status")
echo "idle for ${seconds} s: CPU time $(( (after - before) * 1000 / ticks )) ms, resident $rss, $threads threads"
