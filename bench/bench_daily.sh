#!/usr/bin/env bash
# The daily timer's run, `sondrel-backup --search` by archive mark (search, archive, check, marks
# cleared), over 100,000 small files of which 1 % changed since the last run, against
# `borg create` with its files cache over the same tree and the same change, in the same run.
#
#   bench/bench_daily.sh [FILES]     (default 100000; builds build/app if sondrel-backup is missing)
#
# Both first save the whole tree once (untimed; sondrel-backup's first run is a full backup). Then,
# $RUNS times (default 3), another 1 % of the files get new content and both save again: those
# runs are timed and their medians compared. Target: sondrel-backup <= 0.1 x borg create.
# borg comes from Debian's borgbackup, installed the way scripts/install-deps.sh installs packages;
# where that cannot be done the comparison is skipped with a line.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
runs=${RUNS:-3}
files=${1:-100000}

program=$repo/build/app/bin/sondrel-backup
if [ ! -x "$program" ]; then
  cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_TESTS=OFF >/dev/null
  cmake --build build/app --target sondrel-backup
fi
if ! command -v borg >/dev/null; then
  scripts/install-deps.sh borgbackup >/dev/null 2>&1 || true
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sondrel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The programs never see the user's real settings, marks or borg cache.
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state
export XDG_RUNTIME_DIR=$work/runtime BORG_BASE_DIR=$work/borg-base
export BORG_REPO=$work/borg BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK=yes
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/tarvello" "$work/archive"
chmod 700 "$XDG_RUNTIME_DIR"
tree=$work/tree

# FILES files of about 100 bytes in 100 folders two levels down; round R rewrites every 100th file
# from the R-th on.
python3 - "$tree" "$files" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, "d%d" % (i % 10), "e%d" % (i // 10 % 10))
    if i < 100:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "datei%06d.txt" % i), "w") as f:
        f.write(("Zeile %d\n" % i) * 10)
PY
change() {
  python3 - "$tree" "$files" "$1" <<'PY'
import os, sys
root, n, r = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(r, n, 100):
    p = os.path.join(root, "d%d" % (i % 10), "e%d" % (i // 10 % 10), "datei%06d.txt" % i)
    with open(p, "a") as f:
        f.write("geändert in Runde %d\n" % r)
PY
}

# The options as the user would set them: search the tree, archives into a folder of their own.
sqlite3 "$XDG_CONFIG_HOME/tarvello/registry.sqlite3" <<SQL
CREATE TABLE reg_values(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE,
                        type INTEGER NOT NULL, data BLOB, PRIMARY KEY(key, name));
INSERT INTO reg_values VALUES('Software\Tarvello\Backup\Options', 'SearchPath', 1, '$tree');
INSERT INTO reg_values VALUES('Software\Tarvello\Backup\Options', 'DefaultPath', 1,
                              '$work/archive');
SQL

now() { date +%s%N; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# One daily run; prints its time in ms and fails unless it saved what it should.
daily() {
  local expected=$1 t0 t1 out
  t0=$(now)
  out=$("$program" --search) || { echo "sondrel-backup failed" >&2; return 1; }
  t1=$(now)
  if ! grep -q ": $expected gefunden\." <<<"$out"; then
    echo "sondrel-backup found something else than $expected: $out" >&2
    return 1
  fi
  echo $(( (t1 - t0) / 1000000 ))
}
borg_create() {
  local t0 t1
  t0=$(now)
  borg create "::$1" "$tree" >/dev/null
  t1=$(now)
  echo $(( (t1 - t0) / 1000000 ))
}
count() { python3 -c "import sys; print(f'{int(sys.argv[1]):,}'.replace(',', '.'))" "$1"; }

have_borg=0
if command -v borg >/dev/null; then
  have_borg=1
  borg init --encryption=none >/dev/null
fi
changed=$(( (files + 99) / 100 ))
echo "tree: $(count "$files") files, $(count "$changed") changed per round, $runs rounds"
t_first=$(daily "$(count "$files") Dateien")
echo "first sondrel-backup --search (full):  $t_first ms"
if [ $have_borg = 1 ]; then
  echo "first borg create (full):              $(borg_create r0) ms"
fi

sondrel_ms=()
borg_ms=()
for round in $(seq "$runs"); do
  change "$round"
  sondrel_ms+=("$(daily "$(count "$changed") Dateien")")
  if [ $have_borg = 1 ]; then
    borg_ms+=("$(borg_create "r$round")")
  fi
done
s_med=$(printf '%s\n' "${sondrel_ms[@]}" | median)
echo "daily sondrel-backup --search:         $s_med ms (median of ${sondrel_ms[*]})"
if [ $have_borg = 0 ]; then
  echo "borg create: skipped, borg is not installed (Debian package borgbackup)"
  exit 0
fi
b_med=$(printf '%s\n' "${borg_ms[@]}" | median)
echo "daily borg create (files cache):       $b_med ms (median of ${borg_ms[*]})"
ratio=$(awk -v s="$s_med" -v b="$b_med" 'BEGIN { printf "%.3f", s / b }')
echo "ratio sondrel-backup / borg create:    $ratio (target <= 0.1)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 0.1) }' || exit 2
