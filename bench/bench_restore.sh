#!/usr/bin/env bash
# Speed and memory of sondrel-restore (release build):
#   (1) 10,000 real files (the start of /usr/share/doc, /usr/include) spread over a series of 30
#       backup archives, restored into an empty folder, against "unzip -o -q" of the same files
#       from one archive, in the same run. Target: at most 0.5x.
#   (2) the catalog of a year of daily archives (365 archives, 100,000 entries): --list of
#       everything. Target: under 1 s.
#   (3) the peak memory with 1,000,000 catalogued entries (100 archives of 10,000). Target: under
#       400 MB.
# Archives are written by Python's zipfile under the names a backup gives.
#   bench_restore.sh BUILD_TREE [work folder]
set -euo pipefail
build=$(cd "${1:?build tree}" && pwd)
restore="$build/bin/sondrel-restore"
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/bench-restore.XXXXXX")}
mkdir -p "$work"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
mkdir -p "$HOME"

series() {  # series FOLDER ARCHIVES FILES_EACH SOURCE_LIST|-
  python3 - "$@" <<'PY'
import os, sys, zipfile
folder, count, each, source = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
os.makedirs(folder, exist_ok=True)
files = open(source).read().split('\n')[:-1] if source != '-' else None
for a in range(count):
    day = 1 + a
    name = '%s/2025%02d%02d_0900 Backup.zip' % (folder, 1 + (day - 1) // 28, 1 + (day - 1) % 28)
    with zipfile.ZipFile(name, 'w', zipfile.ZIP_DEFLATED) as z:
        if files is None:
            for i in range(each):
                z.writestr('home/bench/a%03d/f%06d.txt' % (a, i), b'')
        else:
            for path in files[a::count]:
                z.write(path, path.lstrip('/'))
PY
}

# (1)
find /usr/share/doc /usr/include -type f -size +0 2>/dev/null | head -n 10000 >"$work/files.txt"
series "$work/serie" 30 0 "$work/files.txt"
python3 - "$work/eins.zip" "$work/files.txt" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    for path in open(sys.argv[2]).read().split('\n')[:-1]:
        z.write(path, path.lstrip('/'))
PY
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ours=()
theirs=()
for round in 1 2 3; do
  rm -rf "$work/out1" "$work/out2"
  sync
  start=$(date +%s.%N)
  unzip -o -q "$work/eins.zip" -d "$work/out1"
  theirs+=("$(echo "$(date +%s.%N) - $start" | bc)")
  sync
  start=$(date +%s.%N)
  "$restore" --folder "$work/serie" --target "$work/out2" >/dev/null
  ours+=("$(echo "$(date +%s.%N) - $start" | bc)")
done
t_ours=$(printf '%s\n' "${ours[@]}" | median)
t_theirs=$(printf '%s\n' "${theirs[@]}" | median)
echo "(1) 10,000 files from 30 archives: sondrel-restore ${t_ours} s, unzip ${t_theirs} s," \
     "ratio $(echo "scale=3; $t_ours / $t_theirs" | bc)x (target <= 0.5x)"
diff -r "$work/out1" "$work/out2" >/dev/null && echo "    trees identical" || echo "    TREES DIFFER"

# (2)
series "$work/jahr" 365 274 -
start=$(date +%s.%N)
"$restore" --folder "$work/jahr" --list >/dev/null 2>&1
echo "(2) 365 archives, $((365 * 274)) entries: --list $(echo "$(date +%s.%N) - $start" | bc) s (target < 1 s)"

# (3)
series "$work/million" 100 10000 -
peak=$( { /usr/bin/time -f '%M' "$restore" --folder "$work/million" --list >/dev/null 2>/dev/null; } 2>&1 | tail -1)
echo "(3) 1,000,000 entries: peak $((peak / 1024)) MB (target < 400 MB)"
