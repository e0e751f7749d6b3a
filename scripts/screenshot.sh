#!/usr/bin/env bash
# Renders every window of Sondrel (offscreen, no display needed) into doc/, the pictures the README
# shows, and the options dialog once more at 150 %. The demonstration home is /home/anna inside a
# private mount namespace (a tmpfs over /home, gone when the renderer ends), so the paths look like
# a real user's; where no such namespace can be made, it lies in a temporary folder instead.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_TESTS=OFF \
      -DSONDREL_BENCH=ON >/dev/null
cmake --build build/bench --target screenshot_windows
bin="$PWD/build/bench/bin/screenshot_windows"
out="$PWD/doc"

# shoot [--suffix S] WINDOW...
shoot() {
  local suffix=()
  if [ "$1" = "--suffix" ]; then
    suffix=(--suffix "$2")
    shift 2
  fi
  if unshare --user --map-root-user --mount true 2>/dev/null; then
    unshare --user --map-root-user --mount \
      sh -c 'mount -t tmpfs tmpfs /home && exec "$0" "$@"' \
      "$bin" "${suffix[@]}" /home/anna "$out" "$@"
  else
    echo "no private mount namespace: the pictures show a temporary home" >&2
    local tmp
    tmp=$(mktemp -d)
    "$bin" "${suffix[@]}" "$tmp/anna" "$out" "$@"
    rm -rf "$tmp"
  fi
}

shoot main-window search backup restore options about
QT_SCALE_FACTOR=1.5 shoot --suffix -150 options
