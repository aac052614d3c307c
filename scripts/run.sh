#!/usr/bin/env bash
# Builds the programs; later it starts the console against the simulated terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
echo "Built the device link library: build/device_link/libtavro_m.so"
