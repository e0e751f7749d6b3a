#!/usr/bin/env bash
# Installs what is missing, builds Sondrel and starts it. Arguments are handed to the program:
# without any it opens its window, with paths it adds them to the backup list and ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_TESTS=OFF >/dev/null
cmake --build build/app
exec build/app/bin/sondrel "$@"
