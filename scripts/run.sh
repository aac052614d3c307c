#!/usr/bin/env bash
# The demo: installs what is missing, builds, starts the simulated terminal
# tavro_sim on a pseudo-terminal and the console tavro_ex with COM1 mapped to
# it. The simulator reads operator commands from this terminal while the
# console's window is open; closing the console ends the simulator too.
set -euo pipefail
cd "$(dirname "$0")/.."

link="/tmp/tavro-com1-$(id -un)"
sim_only=false
service=false
listen="127.0.0.1:8080"
data="/tmp/tavro-service-$(id -un)"

usage() {
    cat <<EOF
Usage: scripts/run.sh [--link PATH] [--sim-only | --service [--listen ADDR:PORT]]

Builds the programs and starts the console against a simulated terminal, so
that the whole loop works without hardware:

  1. tavro_sim plays the caller-ID terminal on a pseudo-terminal and makes
     the link PATH to it (default $link);
  2. tavro_ex, the console, starts with --map COM1=PATH and opens COM1.

Use the console's menu as with a real terminal: every query is answered and
shows up in the console's log. The simulator keeps reading this terminal, so
type operator commands here while the console runs, for example

  call 0212345678 홍길동 1 S    an incoming call: the console logs it
  lift   /   hangup             the handset, shown as hook events
  help                          every command

Closing the console ends the simulator; Ctrl-C ends both.

Without a display (DISPLAY / WAYLAND_DISPLAY), or with --service, the
service tavrod runs instead of the console, with COM1 mapped to PATH, and
the script prints its address: every call is stored and served over HTTP
and WebSocket (see "The service" in README.md). With --sim-only only the
simulator runs, in the foreground; point any host at PATH.

Options:
  --link PATH         where to make the link to the simulator's line
  --service           start tavrod instead of the console
  --listen ADDR:PORT  tavrod's address (default $listen)
  --sim-only          start only the simulator
  -h, --help          this text
EOF
}

while [ $# -gt 0 ]; do
    case "$1" in
        --link) [ $# -ge 2 ] || { usage >&2; exit 2; }; link="$2"; shift 2 ;;
        --sim-only) sim_only=true; shift ;;
        --service) service=true; shift ;;
        --listen) [ $# -ge 2 ] || { usage >&2; exit 2; }; listen="$2"; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) echo "run.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! $sim_only && ! $service && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "There is no display for the console's window (DISPLAY is not set): starting the service instead."
    service=true
fi
targets=(tavro_sim)
if $service; then
    targets+=(tavrod)
elif [ -f test_console/main.cpp ]; then
    targets+=(tavro_ex)
fi
cmake --build build -j"$(nproc)" --target "${targets[@]}"

sim=build/tools/tavro_sim/tavro_sim
console=build/test_console/tavro_ex
tavrod=build/service/tavrod

reason=""
if $sim_only; then
    reason="--sim-only was given"
elif ! $service && [ ! -x "$console" ]; then
    reason="the console ($console) is not built yet"
fi

if [ -n "$reason" ]; then
    cat <<EOF

Only the simulated terminal runs: $reason.
Its line is linked at $link; connect a host to it, for example
    $console --map COM1=$link
Type operator commands below (help lists them); Ctrl-C ends the simulator.

EOF
    exec "$sim" --link "$link"
fi

# The simulator reads this terminal (fd 3) and prints its first line, the
# pty's path, once the link is in place; the rest of its output is relayed.
exec 3<&0
exec 4< <(exec "$sim" --link "$link" <&3)
sim_pid=$!
relay_pid=""
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    if [ -n "$relay_pid" ]; then wait "$relay_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if ! read -r line_path <&4; then
    echo "run.sh: the simulator did not start" >&2
    exit 1
fi

if $service; then
    # The demo keeps its calls and token apart from a real installation's.
    mkdir -p -m 700 "$data"
    "$tavrod" --map "COM1=$link" --listen "$listen" --db "$data/tavrod.db" --token-file "$data/token" \
        </dev/null 3<&- 4<&- &
    service_pid=$!
    # shellcheck disable=SC2317  # run by the EXIT trap
    cleanup_service() {
        kill -TERM "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
        cleanup
    }
    trap cleanup_service EXIT
    sleep 1
    kill -0 "$service_pid" 2>/dev/null || { echo "run.sh: tavrod did not start" >&2; exit 1; }
    cat <<EOF

The simulated terminal runs on $line_path, linked at $link.
The service tavrod listens at http://$listen/ with COM1 mapped to it; it
stores into $data. Open http://$listen/ in a browser for the dashboard
(its password is the token in $data/token). In another terminal, for example:
    curl -H "Authorization: Bearer \$(cat $data/token)" http://$listen/api/calls
Type operator commands for the terminal here, for example
    call 0212345678 홍길동 1 S
(help lists them all). Ctrl-C ends both.

EOF
    status=0
    cat <&4 || status=$?
    exit "$status"
fi
cat <<EOF

The simulated terminal runs on $line_path, linked at $link.
The console starts with COM1 mapped to it: use its menu as with a real terminal.
Type operator commands for the terminal here, for example
    call 0212345678 홍길동 1 S
    lift
    hangup
(help lists them all). Close the console to end both; Ctrl-C ends both too.

EOF
cat <&4 3<&- &
relay_pid=$!

status=0
"$console" --map "COM1=$link" </dev/null 3<&- 4<&- || status=$?
echo "The console has ended (status $status); ending the simulator."
exit "$status"
