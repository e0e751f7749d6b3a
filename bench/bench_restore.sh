#!/usr/bin/env bash
# Speed and memory of sondrel-restore, each figure against its target, peers in the same run:
#
#   restore   the first 10,000 files of the real set of the backup benchmark (/usr/share/doc,
#             /usr/include, /usr/share/icons, /usr/share/locale), backed up as a series of 30 daily
#             archives (each file in one of them), restored whole into an empty folder, against
#             "unzip -o -q" of the same files from one archive. Target: at most 0.5x.
#   catalog   a year of daily archives (365, 100,000 entries in all): "sondrel-restore --list"
#             reads every directory and plans the newest state. Target: under 1 s.
#   memory    1,000,000 catalogued entries (100 archives of 10,000): peak memory of
#             "sondrel-restore --list". Target: under 400 MB.
#
# Archives are written by the engine (zip32drive) and named as backups name them.
#
#   bench/bench_restore.sh                  every case, REPEAT=5 (as root it drops the page cache
#                                           before each timed run, so both read from the disk)
#   CASES="restore" REPEAT=7 bench/bench_restore.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench-restore}
repeat=${REPEAT:-5}
cases=${CASES:-restore catalog memory}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONDREL_TESTS=OFF >/dev/null
cmake --build "$build" --target zip32drive sondrel-restore >/dev/null
drive=$build/bin/zip32drive
restore=$build/bin/sondrel-restore

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-restore-XXXXXX")
trap 'rm -rf "$work"' EXIT
# The restore reads no settings of the user running the benchmark.
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME"
echo "$(nproc) cores; each pair $repeat times; load $(cut -d' ' -f1 /proc/loadavg)"

now() { date +%s.%N; }
# Before each timed run: the disk has the previous run's writes, and (where we may) no file is cached.
settle() { sync; if [ -w /proc/sys/vm/drop_caches ]; then echo 3 >/proc/sys/vm/drop_caches; fi; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {print b - a}'; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
# Archive name of day N of the series (from 2026-01-01), as a backup names it.
day_name() { echo "$(date -d "2026-01-01 +$1 days" +%Y%m%d)_0300 Backup.zip"; }
# Archives the names on stdin (absolute paths) into $1.
archive() { "$drive" -q "$1" >/dev/null; }

if [[ " $cases " == *" restore "* ]]; then
    echo "restore: copying 10,000 files of the real set..."
    set_dir=$work/real
    find /usr/share/doc /usr/include /usr/share/icons /usr/share/locale -type f 2>/dev/null |
        LC_ALL=C sort >"$work/everything.list" || true
    head -n 10000 "$work/everything.list" >"$work/real.list"
    while IFS= read -r f; do
        mkdir -p "$set_dir$(dirname "$f")"
        cp -p "$f" "$set_dir$f"
    done <"$work/real.list"
    find "$set_dir" -type f | LC_ALL=C sort >"$work/files.list"
    echo "  $(wc -l <"$work/files.list") files, $(du -sm "$set_dir" | cut -f1) MB"
    mkdir -p "$work/series" "$work/one"
    for day in $(seq 0 29); do
        awk -v d="$day" 'NR % 30 == d' "$work/files.list" | archive "$work/series/$(day_name "$day")"
    done
    archive "$work/one/all.zip" <"$work/files.list"
    ours=() theirs=()
    for _ in $(seq "$repeat"); do
        rm -rf "$work/out-ours" "$work/out-unzip"
        mkdir -p "$work/out-ours" "$work/out-unzip"
        settle
        start=$(now)
        "$restore" --folder "$work/series" --target "$work/out-ours" >/dev/null
        ours+=("$(since "$start")")
        settle
        start=$(now)
        unzip -o -q "$work/one/all.zip" -d "$work/out-unzip"
        theirs+=("$(since "$start")")
    done
    diff -r "$work/out-ours$set_dir" "$work/out-unzip/${set_dir#/}" >/dev/null ||
        { echo "  restored files differ from unzip's"; exit 1; }
    o=$(printf '%s\n' "${ours[@]}" | median)
    t=$(printf '%s\n' "${theirs[@]}" | median)
    printf '  sondrel-restore (30 archives) %.2f s, unzip -o -q (one archive) %.2f s: %.3fx (target <= 0.5x)\n' \
        "$o" "$t" "$(awk -v a="$o" -v b="$t" 'BEGIN {print a / b}')"
    echo "  runs: ours ${ours[*]}; unzip ${theirs[*]}; load $(cut -d' ' -f1 /proc/loadavg)"
fi

# count archives of per entries each, from a pool of tiny files (rotating), into $1.
make_series() {
    local folder=$1 count=$2 per=$3 pool=$4
    mkdir -p "$folder"
    find "$pool" -type f | LC_ALL=C sort >"$work/pool.list"
    local total
    total=$(wc -l <"$work/pool.list")
    for day in $(seq 0 $((count - 1))); do
        awk -v s=$((day * per % total)) -v n="$per" -v t="$total" \
            '{a[NR-1]=$0} END {for (i = 0; i < n; i++) print a[(s + i) % t]}' "$work/pool.list" |
            archive "$folder/$(day_name "$day")"
    done
}
make_pool() {
    python3 - "$1" "$2" <<'EOF'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, "Dokumente", f"Projekt {i // 500:03d}", f"Unterordner {i // 50 % 10}")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, f"Notiz {i:07d} vom Tag.txt"), "w") as f:
        f.write(f"Notiz {i}\n")
EOF
}

if [[ " $cases " == *" catalog "* ]]; then
    echo "catalog: writing 365 archives, 100,000 entries..."
    make_pool "$work/pool-catalog" 20000
    make_series "$work/year" 365 274 "$work/pool-catalog"
    times=()
    for _ in $(seq "$repeat"); do
        start=$(now)
        "$restore" --folder "$work/year" --list >/dev/null
        times+=("$(since "$start")")
    done
    printf '  --list over 365 archives: %.3f s (target < 1 s); runs %s\n' \
        "$(printf '%s\n' "${times[@]}" | median)" "${times[*]}"
fi

if [[ " $cases " == *" memory "* ]]; then
    echo "memory: writing 100 archives of 10,000 entries..."
    make_pool "$work/pool-memory" 100000
    make_series "$work/million" 100 10000 "$work/pool-memory"
    peak=$(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)' "$restore" --folder "$work/million" --list)
    printf '  --list over 1,000,000 entries: peak %d MB (target < 400 MB)\n' "$peak"
fi
