#!/usr/bin/env bash
# Installs what is missing, builds Sondrel in Release and packs it as a Debian package:
# build/app/sondrel_<version>_amd64.deb, installable with "sudo apt install ./build/app/sondrel_...".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONDREL_TESTS=OFF >/dev/null
cmake --build build/app -j "$(nproc)"
rm -f build/app/sondrel_*_amd64.deb
(cd build/app && cpack -G DEB)
ls build/app/sondrel_*_amd64.deb
