#!/usr/bin/env bash
# Builds the receive-path fuzzer (clang, libFuzzer, ASan, UBSan) in build-fuzz
# and runs it for SECONDS (default 60) on a copy of the seed corpus, then the
# transmission fuzzer (hostile SendCmd / TxData arguments) for a third of that.
# Prints executions per second and in total. Exits non-zero on a finding;
# the input that triggered it is kept under build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVRO_BUILD_FUZZ=ON -DTAVRO_BUILD_TESTS=OFF -DTAVRO_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_receive fuzz_transmit

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r fuzz/corpus "$work/corpus"
mkdir -p build-fuzz/findings

# Inputs that once broke the receive path must keep passing.
if compgen -G "fuzz/crashes/*" >/dev/null; then
    echo "== replaying fuzz/crashes"
    build-fuzz/fuzz/fuzz_receive fuzz/crashes/* 2>&1 | tail -n 3
fi

echo "== fuzzing the receive path for ${seconds} s"
status=0
# A smaller quarantine than ASan's 256 MiB keeps the run in cache; leaks are
# still reported.
export ASAN_OPTIONS=quarantine_size_mb=16:detect_leaks=1
build-fuzz/fuzz/fuzz_receive "$work/corpus" \
    -dict=fuzz/receive.dict -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/findings/ \
    >"$work/log" 2>&1 || status=$?

grep -E "^(INFO: seed corpus|Done [0-9]+ runs|==[0-9]+==ERROR|invariant violated|SUMMARY|Test unit written|stat::)" "$work/log" || true
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
echo "fuzz_receive: ${execs:-0} executions in ${seconds} s, ${rate:-0} per second"
if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/log" >&2
    echo "fuzz_receive found a failure (exit $status); see build-fuzz/findings/" >&2
    exit "$status"
fi

transmit_seconds=$(( seconds / 3 > 10 ? seconds / 3 : 10 ))
echo "== fuzzing SendCmd / TxData arguments for ${transmit_seconds} s"
cp -r fuzz/corpus_transmit "$work/corpus_transmit"
build-fuzz/fuzz/fuzz_transmit "$work/corpus_transmit" \
    -max_total_time="$transmit_seconds" -max_len=512 -timeout=20 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/findings/ \
    >"$work/log_transmit" 2>&1 || status=$?
grep -E "^(Done [0-9]+ runs|==[0-9]+==ERROR|invariant violated|SUMMARY|Test unit written)" \
    "$work/log_transmit" || true
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log_transmit")
echo "fuzz_transmit: ${execs:-0} executions in ${transmit_seconds} s"
if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/log_transmit" >&2
    echo "fuzz_transmit found a failure (exit $status); see build-fuzz/findings/" >&2
    exit "$status"
fi
