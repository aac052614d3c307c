#!/usr/bin/env bash
# The demo: installs what is missing, builds, starts two simulated terminals
# (tavro_sim on pseudo-terminals) and the console tavro_ex with COM1 and COM2
# mapped to them. The first simulator reads operator commands from this
# terminal while the console's window is open, and both from their control
# FIFOs (scripts/sim.sh); closing the console ends the simulators too.
set -euo pipefail
cd "$(dirname "$0")/.."

link="/tmp/tavro-com1-$(id -un)"
link2="/tmp/tavro-com2-$(id -un)"
sim_only=false
service=false
listen="127.0.0.1:8080"
data="/tmp/tavro-service-$(id -un)"

usage() {
    cat <<EOF
Usage: scripts/run.sh [--link PATH] [--sim-only | --service [--listen ADDR:PORT]]

Builds the programs and starts the console against a simulated terminal, so
that the whole loop works without hardware:

  1. two tavro_sim play caller-ID terminals on pseudo-terminals and make the
     links PATH (default $link) and PATH2 (default $link2,
     or PATH-com2 with --link) to them;
  2. tavro_ex, the console, starts with --map COM1=PATH --map COM2=PATH2 and
     opens both.

Use the console's menu as with a real terminal: every query is answered and
shows up in the console's log. The first simulator keeps reading this
terminal, so type operator commands here while the console runs, for example

  call 0212345678 홍길동 1 S    an incoming call: the console logs it
  lift   /   hangup             the handset, shown as hook events
  help                          every command

From any other terminal (also when this script runs in the background),
scripts/sim.sh sends one command to either simulator through its control
FIFO (PATH.ctl):

  scripts/sim.sh call 0212345678 홍길동 1 S
  scripts/sim.sh COM2 call 0319998888

Closing the console ends the simulators; Ctrl-C ends all.

Without a display (DISPLAY / WAYLAND_DISPLAY), or with --service, the
service tavrod runs instead of the console, with COM1 and COM2 mapped, and
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
        --link) [ $# -ge 2 ] || { usage >&2; exit 2; }; link="$2"; link2="$2-com2"; shift 2 ;;
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
Type operator commands below (help lists them), or from another terminal
    scripts/sim.sh call 0212345678 홍길동 1 S
(it writes to the control FIFO $link.ctl). Ctrl-C ends the simulator.

EOF
    exec "$sim" --link "$link" --control "$link.ctl"
fi

# The first simulator reads this terminal (fd 3) and prints its first line,
# the pty's path, once the link is in place; the rest of its output is
# relayed. The second one (COM2) takes commands from its FIFO only, and its
# output comes marked with its port.
exec 3<&0
exec 4< <(exec "$sim" --link "$link" --control "$link.ctl" <&3)
sim_pid=$!
exec 5< <(exec "$sim" --link "$link2" --control "$link2.ctl" </dev/null)
sim2_pid=$!
relay_pid=""
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    kill -TERM "$sim_pid" "$sim2_pid" 2>/dev/null || true
    wait "$sim_pid" "$sim2_pid" 2>/dev/null || true
    if [ -n "$relay_pid" ]; then wait "$relay_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if ! read -r line_path <&4 || ! read -r line_path2 <&5; then
    echo "run.sh: the simulators did not start" >&2
    exit 1
fi
sed -u 's/^/[COM2] /' <&5 3<&- 4<&- &

if $service; then
    # The demo keeps its calls and token apart from a real installation's.
    mkdir -p -m 700 "$data"
    "$tavrod" --map "COM1=$link" --map "COM2=$link2" --listen "$listen" --db "$data/tavrod.db" \
        --token-file "$data/token" </dev/null 3<&- 4<&- 5<&- &
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

The simulated terminals run on $line_path and $line_path2, linked at
$link (COM1) and $link2 (COM2).
The service tavrod listens at http://$listen/ with COM1 and COM2 mapped to
them; it stores into $data. Open http://$listen/ in a browser for the
dashboard (its password is the token in $data/token). In another terminal,
for example:
    curl -H "Authorization: Bearer \$(cat $data/token)" http://$listen/api/calls
Type operator commands for COM1's terminal here, for example
    call 0212345678 홍길동 1 S
(help lists them all), or from any terminal, also with this script in the
background, through the control FIFOs $link.ctl and $link2.ctl:
    scripts/sim.sh call 0212345678 홍길동 1 S
    scripts/sim.sh COM2 call 0319998888
Ctrl-C ends all.

EOF
    status=0
    cat <&4 || status=$?
    exit "$status"
fi
cat <<EOF

The simulated terminals run on $line_path and $line_path2, linked at
$link (COM1) and $link2 (COM2).
The console starts with both mapped: use its menu as with a real terminal.
Type operator commands for COM1's terminal here, for example
    call 0212345678 홍길동 1 S
    lift
    hangup
(help lists them all), or from any terminal through the control FIFOs:
    scripts/sim.sh call 0212345678 홍길동 1 S
    scripts/sim.sh COM2 call 0319998888
Close the console to end all; Ctrl-C ends all too.

EOF
cat <&4 3<&- 5<&- &
relay_pid=$!

status=0
"$console" --map "COM1=$link" --map "COM2=$link2" </dev/null 3<&- 4<&- 5<&- || status=$?
echo "The console has ended (status $status); ending the simulators."
exit "$status"
