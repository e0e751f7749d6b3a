#!/usr/bin/env bash
# Speed, size and memory of the ZIP engine (through zip32drive, the C interface alone) against
# Info-ZIP's "zip -9 -q -@" on the same files in the same run:
#
#   corpus          real files (/usr/share/doc, /usr/include, /usr/share/icons, /usr/share/locale),
#                   without a password, and with one under the traditional method and AES-256
#   incompressible  150 MB of photos and clips that deflate cannot shrink
#   mailbox         one 160 MB mailbox
#   home            36 photos and clips of 2 to 6 MB, a 90 MB mailbox, 3,000 documents
#   memory          the engine's peak memory for one 5 GB file (sparse, and random) and for 100,000
#                   small files
#
# The generated data sets come from bench/engine_data.py with a fixed seed. Each archiver runs
# REPEAT times per case, the runs of zip -9 and of the engine taking turns; medians are compared,
# and the spread and the load average show how quiet the machine was. The engine also runs bound
# to one core (taskset), where it starts one worker, to show how it scales.
#
#   bench/bench_engine.sh                       every case, REPEAT=3
#   CASES="mailbox home" REPEAT=5 bench/bench_engine.sh
#
# Targets (time against zip -9): corpus no slower than before (0.29x), incompressible at most
# 0.15x, mailbox at most 0.55x on two cores, home at most 0.25x; size at most 1.00x in every case;
# peak memory under 200 MB. With a password, AES-256 at most 1.1x the traditional method and at
# most 0.35x zip -9 -P on the corpus.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench-engine}
repeat=${REPEAT:-3}
cases=${CASES:-corpus incompressible mailbox home memory}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONDREL_TESTS=OFF >/dev/null
cmake --build "$build" --target zip32drive >/dev/null
drive=$build/bin/zip32drive
data="python3 $root/bench/engine_data.py"

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-engine-XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "$(nproc) cores; engine $drive; each archiver $repeat times per case"

load() { cut -d" " -f1 /proc/loadavg; }

# run NAME COMMAND...: one timed run with the names from $work/list; appends "seconds cpu kb load"
# to $work/NAME.runs and keeps the archive as $work/NAME.zip.
run() {
  local name=$1
  shift
  rm -f "$work/out.zip"
  sync
  local before
  before=$(load)
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" "$work/out.zip" <"$work/list" >/dev/null 2>&1 || true
  local s u k kb
  read -r s u k kb <"$work/time"
  echo "$s $(awk "BEGIN{print $u + $k}") $kb $before" >>"$work/$name.runs"
  mv "$work/out.zip" "$work/$name.zip"
}

# median|lowest|highest NAME FIELD, over the runs of NAME: 1 seconds, 2 cpu seconds, 3 kB, 4 load
median() { cut -d" " -f"$2" "$work/$1.runs" | sort -g | awk '{v[NR]=$1} END{print v[int((NR+1)/2)]}'; }
lowest() { cut -d" " -f"$2" "$work/$1.runs" | sort -g | head -1; }
highest() { cut -d" " -f"$2" "$work/$1.runs" | sort -g | tail -1; }
ratio() { awk "BEGIN{printf \"%.3f\", $1 / $2}"; }
# The engine alone on $work/list (no peer): time, size, peak memory, and whether unzip accepts it.
engine_alone() {
  rm -f "$work"/*.runs
  run engine "$drive" -q -r /
  local check=ok
  unzip -tqq "$work/engine.zip" >/dev/null 2>&1 || check=FAILED
  printf '%-14s engine: %6.2f s %10d B %4d MB | unzip -t %s\n' "$1" \
    "$(median engine 1)" "$(stat -c %s "$work/engine.zip")" $(($(highest engine 3) / 1024)) "$check"
}

# compare LABEL ZIP_ARGS ENGINE_ARGS: zip -9, the engine, and the engine on one core, taking turns.
compare() {
  local label=$1 zip_args=$2 engine_args=$3 name
  rm -f "$work"/*.runs
  local files bytes
  files=$(wc -l <"$work/list")
  bytes=$(tr '\n' '\0' <"$work/list" | du -cb --files0-from=- | tail -1 | cut -f1)
  tr '\n' '\0' <"$work/list" | xargs -0 cat >/dev/null # the same warm cache for all
  for ((i = 0; i < repeat; i++)); do
    # shellcheck disable=SC2086
    run zip zip -9 -q $zip_args -@
    # shellcheck disable=SC2086
    run engine "$drive" -q -r / $engine_args
    # shellcheck disable=SC2086
    run single taskset -c 0 "$drive" -q -r / $engine_args
  done
  local check=ok
  # shellcheck disable=SC2086
  unzip -tqq $zip_args "$work/engine.zip" >/dev/null 2>&1 || check=FAILED
  printf '%s: %d files, %d MB; load %s to %s\n' "$label" "$files" $((bytes / 1000000)) \
    "$(lowest engine 4)" "$(highest engine 4)"
  for name in zip engine single; do
    printf '  %-15s %7.2f s (%.2f to %.2f)  cpu %7.2f s  %11d B  %4d MB\n' \
      "$(case $name in zip) echo "zip -9" ;; engine) echo "engine" ;; *) echo "engine, 1 core" ;; esac)" \
      "$(median $name 1)" "$(lowest $name 1)" "$(highest $name 1)" "$(median $name 2)" \
      "$(stat -c %s "$work/$name.zip")" $(($(highest $name 3) / 1024))
  done
  printf '  time %sx (1 core %sx), size %sx, engine archive %s of the files, unzip -t %s\n' \
    "$(ratio "$(median engine 1)" "$(median zip 1)")" "$(ratio "$(median single 1)" "$(median zip 1)")" \
    "$(ratio "$(stat -c %s "$work/engine.zip")" "$(stat -c %s "$work/zip.zip")")" \
    "$(ratio "$(stat -c %s "$work/engine.zip")" "$bytes")" "$check"
  rm -f "$work"/*.zip
}

# compare_encrypted LABEL: zip -9 -P, the engine with the traditional method and with AES-256,
# taking turns, with the same password.
compare_encrypted() {
  local label=$1 name password=Bench-Passwort
  rm -f "$work"/*.runs
  tr '\n' '\0' <"$work/list" | xargs -0 cat >/dev/null
  for ((i = 0; i < repeat; i++)); do
    run zip zip -9 -q -P "$password" -@
    run traditional "$drive" -q -r / -P "$password"
    run aes "$drive" -q -r / -A -P "$password"
  done
  local check=ok
  "$(command -v 7z || command -v 7zz)" t -p"$password" "$work/aes.zip" >/dev/null 2>&1 || check=FAILED
  printf '%s: %d files; load %s to %s\n' "$label" "$(wc -l <"$work/list")" \
    "$(lowest aes 4)" "$(highest aes 4)"
  for name in zip traditional aes; do
    printf '  %-15s %7.2f s (%.2f to %.2f)  cpu %7.2f s  %11d B  %4d MB\n' \
      "$(case $name in zip) echo "zip -9 -P" ;; traditional) echo "engine, ZIP 2.0" ;; *) echo "engine, AES-256" ;; esac)" \
      "$(median $name 1)" "$(lowest $name 1)" "$(highest $name 1)" "$(median $name 2)" \
      "$(stat -c %s "$work/$name.zip")" $(($(highest $name 3) / 1024))
  done
  printf '  AES-256: time %sx the traditional method, %sx zip -9 -P; size %sx; 7z t %s\n' \
    "$(ratio "$(median aes 1)" "$(median traditional 1)")" \
    "$(ratio "$(median aes 1)" "$(median zip 1)")" \
    "$(ratio "$(stat -c %s "$work/aes.zip")" "$(stat -c %s "$work/traditional.zip")")" "$check"
  rm -f "$work"/*.zip
}

for case in $cases; do
  case $case in
    corpus)
      mkdir -p "$work/corpus"
      for source in /usr/share/doc /usr/include /usr/share/icons /usr/share/locale; do
        cp -a "$source" "$work/corpus/" 2>/dev/null || true
      done
      find "$work/corpus" -type f | sort >"$work/list"
      compare "corpus" "" ""
      compare_encrypted "corpus, password"
      rm -rf "$work/corpus"
      ;;
    incompressible)
      $data incompressible "$work/photos" 150 >"$work/list"
      compare "incompressible" "" ""
      rm -rf "$work/photos"
      ;;
    mailbox)
      $data mailbox "$work/mailbox.mbox" 160 >"$work/list"
      compare "mailbox" "" ""
      rm -f "$work/mailbox.mbox"
      ;;
    home)
      $data home "$work/home" | sort >"$work/list"
      compare "home" "" ""
      compare_encrypted "home, password"
      rm -rf "$work/home"
      ;;
    memory)
      # A sparse file, deflated to almost nothing, and random bytes, stored: blocks wait for the
      # writer in memory in both, compressed or not.
      for kind in sparse random; do
        if [ $kind = sparse ]; then
          truncate -s 5G "$work/big.bin"
          printf 'Ende' >>"$work/big.bin"
        else
          head -c 5G /dev/urandom >"$work/big.bin"
        fi
        echo "$work/big.bin" >"$work/list"
        engine_alone "5 GB, $kind"
        rm -f "$work/big.bin" "$work"/*.zip
      done

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
      engine_alone "100,000 files"
      rm -rf "$work/many" "$work"/*.zip
      ;;
    *)
      echo "unknown case: $case" >&2
      exit 64
      ;;
  esac
done
