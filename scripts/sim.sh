#!/usr/bin/env bash
# Sends one operator command to a simulated terminal that scripts/run.sh
# started, through its control FIFO, from any terminal:
#   scripts/sim.sh call 0212345678 홍길동 1 S
#   scripts/sim.sh COM2 lift
# The simulator's answer appears where it runs (run.sh's output).
set -euo pipefail

usage() {
    cat <<USAGE
Usage: scripts/sim.sh [COM1|COM2] COMMAND...

Sends COMMAND (call, busy, lift, hangup, raw, state, help, ...) to the
simulator of COM1 (default) or COM2 through its control FIFO
/tmp/tavro-com1-$(id -un).ctl (or -com2-); TAVRO_SIM_CONTROL=PATH names
another FIFO (tavro_sim --control PATH).
USAGE
}

port=com1
case "${1:-}" in
    COM1|COM2|COM3|COM4) port="${1,,}"; shift ;;
    -h|--help|"") usage; exit 0 ;;
esac
[ $# -gt 0 ] || { usage >&2; exit 2; }
control="${TAVRO_SIM_CONTROL:-/tmp/tavro-$port-$(id -un).ctl}"
if [ ! -p "$control" ]; then
    echo "sim.sh: no simulator takes commands at $control; start scripts/run.sh (or tavro_sim --control $control) first" >&2
    exit 1
fi
# A FIFO nobody reads would hold the write forever.
# shellcheck disable=SC2016  # $1 and $2 are the inner shell's
if ! timeout 2 sh -c 'printf "%s\n" "$1" > "$2"' sh "$*" "$control"; then
    echo "sim.sh: the simulator at $control did not take the command" >&2
    exit 1
fi
