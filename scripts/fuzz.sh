#!/usr/bin/env bash
# Builds the fuzzers (clang, libFuzzer, ASan, UBSan, warnings as errors) in build-fuzz
# and runs the receive-path one for SECONDS (default 60) on a copy of the seed corpus, then the
# transmission fuzzer (hostile SendCmd / TxData arguments) and tavrod's HTTP
# request parsing and connections for a third of that (at least 10 s) each.
# Prints executions per second and in total. Exits non-zero on a finding;
# the input that triggered it is kept under build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVRO_BUILD_FUZZ=ON -DTAVRO_BUILD_TESTS=OFF -DTAVRO_BUILD_BENCH=OFF -DTAVRO_WERROR=ON \
    -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_receive fuzz_transmit fuzz_http_request

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r fuzz/corpus "$work/corpus"
mkdir -p build-fuzz/findings

# Inputs that once broke the receive path must keep passing.
if compgen -G "fuzz/crashes/*" >/dev/null; then
    echo "== replaying fuzz/crashes"
    build-fuzz/fuzz/fuzz_receive fuzz/crashes/* 2>&1 | tail -n 3
fi

# Runs one fuzzer on a corpus folder for some seconds; stops the script on a
# finding, with the log's end and the input kept under build-fuzz/findings/.
run_fuzzer() {
    local name=$1 corpus=$2 secs=$3
    shift 3
    local log="$work/log_$name" status=0
    build-fuzz/fuzz/"$name" "$corpus" -max_total_time="$secs" "$@" \
        -print_final_stats=1 -artifact_prefix=build-fuzz/findings/ >"$log" 2>&1 || status=$?
    grep -E "^(INFO: seed corpus|Done [0-9]+ runs|==[0-9]+==ERROR|invariant violated|SUMMARY|Test unit written)" "$log" || true
    local execs rate
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$name: ${execs:-0} executions in ${secs} s, ${rate:-0} per second"
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$log" >&2
        echo "$name found a failure (exit $status); see build-fuzz/findings/" >&2
        exit "$status"
    fi
}

# A smaller quarantine than ASan's 256 MiB keeps the run in cache; leaks are
# still reported.
export ASAN_OPTIONS=quarantine_size_mb=16:detect_leaks=1
short=$(( seconds / 3 > 10 ? seconds / 3 : 10 ))

echo "== fuzzing the receive path for ${seconds} s"
run_fuzzer fuzz_receive "$work/corpus" "$seconds" -dict=fuzz/receive.dict -max_len=4096 -timeout=10

echo "== fuzzing SendCmd / TxData arguments for ${short} s"
cp -r fuzz/corpus_transmit "$work/corpus_transmit"
run_fuzzer fuzz_transmit "$work/corpus_transmit" "$short" -max_len=512 -timeout=20

echo "== fuzzing tavrod's HTTP request parsing for ${short} s"
mkdir -p "$work/corpus_http"
# Byte 0: piece size - 1; byte 1: bit 0 the client never reads, bit 1 "/wait" is held.
printf '\x20\x00GET /api/calls?q=2345 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nAuthorization: Bearer token\r\n\r\n' \
    >"$work/corpus_http/get"
printf '\x07\x02POST /api/call HTTP/1.1\r\nContent-Length: 19\r\n\r\n{"call":"SendCmd"}\nGET /healthz HTTP/1.0\r\n\r\n' \
    >"$work/corpus_http/post"
printf '\xff\x00GET /api/stream HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: http://a\r\n\r\n' \
    >"$work/corpus_http/upgrade"
printf '\x10\x03GET /wait HTTP/1.1\nHost: localhost\n\nGET /big HTTP/1.1\r\nHost: localhost\r\n\r\nGET /big HTTP/1.1\r\nHost: localhost\r\n\r\nPOST /b HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nabc' \
    >"$work/corpus_http/pipelined"
run_fuzzer fuzz_http_request "$work/corpus_http" "$short" -max_len=20000 -timeout=20
