#!/bin/bash
# Installs what is missing, builds, and runs the updater.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target corvane-uploader
exec ./build/corvane-uploader
