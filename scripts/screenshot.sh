#!/usr/bin/env bash
# Renders the main window with a few entries (offscreen, no display needed) to
# doc/sondrel-main-window.png, the picture the README shows.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_TESTS=OFF \
      -DSONDREL_BENCH=ON >/dev/null
cmake --build build/bench --target screenshot_mainwindow
build/bench/bin/screenshot_mainwindow doc/sondrel-main-window.png
echo "doc/sondrel-main-window.png"
