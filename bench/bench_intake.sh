#!/usr/bin/env bash
# Intake speed: `sondrel TREE` against the same work done by standard tools, on a warm cache.
#
#   bench/bench_intake.sh [SONDREL]     (default: build/app/bin/sondrel, built if missing)
#
# For 10,000 and 100,000 small files in folders at most five levels deep it measures
#   (a) find TREE -type f | awk | sqlite3: the paths stored as File0.. and Count in reg_values,
#       in one transaction;
#   (b) sondrel TREE into an empty store;
#   (c) sondrel TREE again, everything already listed;
#   (d) sondrel /nonexistent: loads the stored list (checking every file), adds one path, saves;
#   (e) sondrel TREE into an open window (offscreen, empty list), while bench_instance_probe greets
#       the window every 5 ms and notes the longest wait for an answer: the window's worst stall.
# Each figure is the best of $RUNS runs (default 3), the stall the worst of all (e) runs.
# Targets: (b)/(a) <= 1.0; 10k -> 100k <= 12x; (e)/(b) <= 3; stall <= 500 ms.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
runs=${RUNS:-3}

sondrel=${1:-$repo/build/app/bin/sondrel}
probe=$repo/build/app/bin/bench_instance_probe
if [ ! -x "$sondrel" ] || [ ! -x "$probe" ]; then
  cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_TESTS=OFF \
        -DSONDREL_BENCH=ON >/dev/null
  cmake --build build/app --target sondrel bench_instance_probe
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sondrel-bench.XXXXXX")
window_pid=
trap '[ -n "$window_pid" ] && kill "$window_pid" 2>/dev/null; rm -rf "$work"' EXIT
# The program and sqlite3 never see the user's real settings.
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state
export XDG_RUNTIME_DIR=$work/runtime
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
store=$XDG_CONFIG_HOME/tarvello/registry.sqlite3

# N files, ten to a folder, the folders four levels below the tree (levels 0..4: all within the
# intake's limit of five).
make_tree() {
  python3 - "$1" "$2" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    leaf = i // 10
    d = os.path.join(root, *("d%d" % ((leaf // 10 ** k) % 10) for k in (3, 2, 1, 0)))
    if i % 10 == 0:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%06d.txt" % i), "w") as f:
        f.write("x")
PY
}

now() { date +%s%N; }
ms() { echo $(( ($2 - $1) / 1000000 )); }

# The standard tools' version of the first intake.
tools_intake() {
  local tree=$1 db=$2
  rm -f "$db" "$db-wal" "$db-shm"
  find "$tree" -type f | awk -v q="'" '
    BEGIN {
      print "PRAGMA journal_mode=WAL;"
      print "CREATE TABLE reg_values(key TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB, PRIMARY KEY(key, name));"
      print "BEGIN;"
    }
    { gsub(q, q q); printf "INSERT INTO reg_values VALUES(%sSoftware\\Tarvello\\Backup%s,%sFile%d%s,1,%s%s%s);\n", q, q, q, NR - 1, q, q, $0, q }
    END {
      printf "INSERT INTO reg_values VALUES(%sSoftware\\Tarvello\\Backup%s,%sCount%s,1,%s%d%s);\n", q, q, q, q, q, NR, q
      print "COMMIT;"
    }' | sqlite3 "$db" >/dev/null
}

best() {  # best of $runs runs of "$@", in ms; "$@" prints nothing
  local best_ms=-1 t0 t1 d
  for _ in $(seq "$runs"); do
    t0=$(now); "$@"; t1=$(now)
    d=$(ms "$t0" "$t1")
    if [ "$best_ms" -lt 0 ] || [ "$d" -lt "$best_ms" ]; then best_ms=$d; fi
  done
  echo "$best_ms"
}

fresh_intake() { rm -rf "$XDG_CONFIG_HOME"; "$sondrel" "$1"; }

# (e): an open window on an empty list takes the tree; the time is the intake's alone. Each run's
# longest stall goes to $work/stalls.
window_intake() {
  rm -rf "$XDG_CONFIG_HOME"
  QT_QPA_PLATFORM=offscreen "$sondrel" >/dev/null 2>&1 &
  window_pid=$!
  "$probe" wait || { echo "the window did not answer" >&2; exit 1; }
  "$probe" >"$work/probe.txt" &
  local probe_pid=$! t0 t1
  t0=$(now); "$sondrel" "$1"; t1=$(now)
  kill -TERM "$probe_pid"; wait "$probe_pid" || true
  kill -TERM "$window_pid"; wait "$window_pid" 2>/dev/null || true
  window_pid=
  awk '{print $4}' "$work/probe.txt" >>"$work/stalls"
  echo $(( (t1 - t0) / 1000000 ))
}
best_window() {  # best of $runs runs of window_intake, in ms
  local best_ms=-1 d
  for _ in $(seq "$runs"); do
    d=$(window_intake "$1" | tail -1)
    if [ "$best_ms" -lt 0 ] || [ "$d" -lt "$best_ms" ]; then best_ms=$d; fi
  done
  echo "$best_ms"
}
again_intake() { "$sondrel" "$1"; }
load_intake() { "$sondrel" /nonexistent; }

declare -A result
for n in 10000 100000; do
  tree=$work/tree$n
  make_tree "$tree" "$n"
  find "$tree" -type f >/dev/null  # warm the cache
  result[a$n]=$(best tools_intake "$tree" "$work/tools.sqlite3")
  result[b$n]=$(best fresh_intake "$tree")
  count=$(sqlite3 "$store" "SELECT data FROM reg_values WHERE name='Count'")
  [ "$count" = "$n" ] || { echo "intake stored $count entries, expected $n" >&2; exit 1; }
  result[c$n]=$(best again_intake "$tree")
  # (d) grows the list by one path per run; start each measurement from the intake's list.
  fresh_intake "$tree"
  result[d$n]=$(best load_intake)
  result[e$n]=$(best_window "$tree")
  count=$(sqlite3 "$store" "SELECT data FROM reg_values WHERE name='Count'")
  [ "$count" = "$n" ] || { echo "the window stored $count entries, expected $n" >&2; exit 1; }
  rm -rf "$tree"
done

ratio() { python3 -c "import sys; a, b = float(sys.argv[1]), float(sys.argv[2]); print('%.2f' % (a / b if b else float('inf')))" "$1" "$2"; }

printf '%-52s %10s %10s %8s\n' "step (best of $runs, ms)" "10,000" "100,000" "scaling"
for step in a b c d e; do
  case $step in
    a) label="(a) find | sqlite3, one transaction" ;;
    b) label="(b) sondrel TREE, empty store" ;;
    c) label="(c) sondrel TREE, all listed" ;;
    d) label="(d) load 100k list, add one, save" ;;
    e) label="(e) sondrel TREE into an open window" ;;
  esac
  printf '%-52s %10s %10s %7sx\n' "$label" "${result[${step}10000]}" "${result[${step}100000]}" \
    "$(ratio "${result[${step}100000]}" "${result[${step}10000]}")"
done
echo "(b)/(a) at 100,000: $(ratio "${result[b100000]}" "${result[a100000]}")   (target <= 1.0)"
echo "(b)/(a) at 10,000:  $(ratio "${result[b10000]}" "${result[a10000]}")"
echo "(e)/(b) at 100,000: $(ratio "${result[e100000]}" "${result[b100000]}")   (target <= 3.0)"
echo "longest stall of the window in (e): $(sort -g "$work/stalls" | tail -1) ms   (target <= 500)"
