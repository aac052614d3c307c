#!/usr/bin/env bash
# Builds everything and runs every test: once as a normal build, then the
# example against the installed library, once more under AddressSanitizer
# and UBSan, and last the receive-path fuzzer for 60 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== build (RelWithDebInfo)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRO_BUILD_TESTS=ON -DTAVRO_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
(cd build && ctest --output-on-failure -j"$jobs") 2>&1 | tee "$logs/ctest.log"

echo "== install, then build the example against the installed package"
prefix="$logs/prefix"
mkdir -p "$prefix"
cmake --install build --prefix "$prefix" >/dev/null
cmake -S examples/caller_popup -B "$prefix/example-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/example-build" -j"$jobs"
# It runs from the installed library and fails cleanly on a missing device.
example_output=$(LD_LIBRARY_PATH="$prefix/lib" "$prefix/example-build/caller_popup" \
                 /dev/tavro-missing 2>&1 || true)
if grep -q "cannot open COM1" <<<"$example_output"; then
    echo "example: built and ran against the installed package"
else
    echo "example: did not run as expected: $example_output" >&2
    exit 1
fi

echo "== build (Debug, -fsanitize=address,undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRO_BUILD_TESTS=ON -DTAVRO_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$jobs") 2>&1 | tee "$logs/ctest-asan.log"

echo "== fuzzing the receive path (libFuzzer, 60 s)"
scripts/fuzz.sh 60

# One closing line for both ctest runs (each already stopped the script on a failure).
total=$(sed -n 's/.*tests failed out of \([0-9]*\)$/\1/p' "$logs/ctest.log" "$logs/ctest-asan.log" \
        | awk '{ s += $1 } END { print s + 0 }')
echo "tests: ${total} passed, 0 failed"
