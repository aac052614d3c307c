#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs every test: once as a
# normal build, then the programs and the example installed into a temporary
# prefix, the Debian packages (contents, lintian, install, purge), once more
# under AddressSanitizer and UBSan, and last the fuzzers (the receive path
# for 60 seconds, the transmission's arguments for 20).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== build (RelWithDebInfo)"
# Configured for /usr, so that the same build makes the Debian packages.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRO_BUILD_TESTS=ON -DTAVRO_BUILD_BENCH=ON \
    -DTAVRO_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build -j"$jobs"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# The suites are listed by name in the CMake files: none may be left out.
unregistered=$(comm -23 <(find tests -name 'tst_*.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort) \
                        <(cd build && ctest -N | sed -n 's/^ *Test *#[0-9]*: //p' | sort))
if [ -n "$unregistered" ]; then
    echo "suites without a CTest entry: $unregistered" >&2
    exit 1
fi
(cd build && ctest --output-on-failure -j"$jobs") 2>&1 | tee "$logs/ctest.log"

echo "== install into a temporary prefix, then build the example against it"
prefix="$logs/prefix"
mkdir -p "$prefix"
cmake --install build --prefix "$prefix" >/dev/null
# The installed programs find their library through their RUNPATH alone.
for program in "$prefix"/bin/*; do
    if ! env -u LD_LIBRARY_PATH "$program" --help >/dev/null; then
        echo "installed $(basename "$program") does not start from $prefix" >&2
        exit 1
    fi
done
echo "installed programs: $(cd "$prefix/bin" && echo *) start from the prefix"
cmake -S examples/caller_popup -B "$prefix/example-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/example-build" -j"$jobs"
# It runs from the installed library and fails cleanly on a missing device.
example_output=$(env -u LD_LIBRARY_PATH "$prefix/example-build/caller_popup" \
                 /dev/tavro-missing 2>&1 || true)
if grep -q "cannot open COM1" <<<"$example_output"; then
    echo "example: built and ran against the installed package"
else
    echo "example: did not run as expected: $example_output" >&2
    exit 1
fi

echo "== Debian packages"
scripts/test_packages.sh build

echo "== build (Debug, -fsanitize=address,undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRO_BUILD_TESTS=ON -DTAVRO_SANITIZE=ON \
    -DTAVRO_WERROR=ON >/dev/null
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
