#!/usr/bin/env bash
# Speed and memory of the ZIP engine (through zip32drive, the C interface alone) against Info-ZIP's
# "zip -9" on the same list of real files, with and without a password; then the engine's peak
# memory for one 5 GB sparse file and for a list of 100,000 small files.
#
#   bench/bench_engine.sh            (REPEAT=n runs each archiver n times and keeps the best time)
#
# Targets: time at most 0.5x of zip -9, size at most 1.00x, peak memory under 200 MB.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench-engine}
repeat=${REPEAT:-1}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONDREL_TESTS=OFF >/dev/null
cmake --build "$build" --target zip32drive >/dev/null
drive=$build/bin/zip32drive

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-engine-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "Copying the file set..."
mkdir "$work/corpus"
for source in /usr/share/doc /usr/include /usr/share/icons /usr/share/locale; do
  cp -a "$source" "$work/corpus/" 2>/dev/null || true
done
find "$work/corpus" -type f | sort >"$work/list"
files=$(wc -l <"$work/list")
bytes=$(tr '\n' '\0' <"$work/list" | du -cb --files0-from=- | tail -1 | cut -f1)
tr '\n' '\0' <"$work/list" | xargs -0 cat >/dev/null  # same warm cache for both
echo "File set: $files files, $((bytes / 1000000)) MB; $(nproc) cores, load $(cut -d" " -f1 /proc/loadavg)"

# measure COMMAND...: best wall time over REPEAT runs with its processor time (user + system),
# and the peak memory of those runs. The names come from the list on standard input.
seconds=0
cpu=0
peak_kb=0
measure() {
  local best="" best_cpu=0 peak=0 i s u k kb
  for ((i = 0; i < repeat; i++)); do
    rm -f "$work/out.zip"
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" <"$work/list" >/dev/null 2>&1 || true
    read -r s u k kb <"$work/time"
    if [ -z "$best" ] || awk "BEGIN{exit !($s < $best)}"; then
      best=$s
      best_cpu=$(awk "BEGIN{print $u + $k}")
    fi
    if [ "$kb" -gt "$peak" ]; then peak=$kb; fi
  done
  seconds=$best
  cpu=$best_cpu
  peak_kb=$peak
}

compare() {
  local label=$1 zip_args=$2 engine_args=$3
  # shellcheck disable=SC2086
  measure zip -9 -q $zip_args -@ "$work/out.zip"
  local zip_s=$seconds zip_cpu=$cpu zip_kb=$peak_kb zip_size
  zip_size=$(stat -c %s "$work/out.zip")
  # shellcheck disable=SC2086
  measure "$drive" -q -r / $engine_args "$work/out.zip"
  local eng_s=$seconds eng_cpu=$cpu eng_kb=$peak_kb eng_size
  eng_size=$(stat -c %s "$work/out.zip")
  local check=ok
  # shellcheck disable=SC2086
  unzip -tqq $zip_args "$work/out.zip" >/dev/null 2>&1 || check=FAILED
  printf '%-12s zip -9: %6.2f s (cpu %6.2f s) %10d B %4d MB | engine: %6.2f s (cpu %6.2f s) %10d B %4d MB\n' \
    "$label" "$zip_s" "$zip_cpu" "$zip_size" $((zip_kb / 1024)) "$eng_s" "$eng_cpu" "$eng_size" $((eng_kb / 1024))
  printf '%-12s time %.2fx, size %.3fx, unzip -t %s\n' "" \
    "$(awk "BEGIN{print $eng_s / $zip_s}")" "$(awk "BEGIN{print $eng_size / $zip_size}")" "$check"
}

compare "no password" "" ""
compare "password" "-P Bench-Passwort" "-P Bench-Passwort"

echo "One 5 GB sparse file..."
truncate -s 5G "$work/big.bin"
printf 'Ende' >>"$work/big.bin"
echo "$work/big.bin" >"$work/list"
measure "$drive" -q -r / "$work/out.zip"
check=ok
unzip -tqq "$work/out.zip" >/dev/null 2>&1 || check=FAILED
printf '%-12s engine: %6.2f s %10d B %4d MB | unzip -t %s\n' "5 GB file" "$seconds" \
  "$(stat -c %s "$work/out.zip")" $((peak_kb / 1024)) "$check"
rm -f "$work/big.bin"

echo "100,000 small files..."
python3 - "$work/many" >"$work/list" <<'EOF'
import os, sys
base = sys.argv[1]
for d in range(100):
    os.makedirs(f"{base}/{d:02d}")
    for f in range(1000):
        path = f"{base}/{d:02d}/Datei {f:03d}.txt"
        with open(path, "w") as out:
            out.write(f"Zeile {d} {f}\n" * (1 + (d * f) % 150))
        print(path)
EOF
measure "$drive" -q -r / "$work/out.zip"
check=ok
unzip -tqq "$work/out.zip" >/dev/null 2>&1 || check=FAILED
printf '%-12s engine: %6.2f s %10d B %4d MB | unzip -t %s\n' "100,000 files" "$seconds" \
  "$(stat -c %s "$work/out.zip")" $((peak_kb / 1024)) "$check"
