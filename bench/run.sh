#!/bin/sh
# Runs the benchmarks, and with a number of minutes the soak, with the window shown on a display.
# Usage: bench/run.sh [build folder] [soak minutes]
# Without a display they run under Xvfb; as root also in a network namespace of their own, so
# that nothing else on the machine holds the fixed frame ports 15730 and 15731 meanwhile.
set -u
build=${1:-build}
soak_minutes=${2:-}
screen="-screen 0 1024x768x24"

if [ -z "${DISPLAY:-}" ]; then
    if [ "$(id -u)" = 0 ] && command -v ip >/dev/null && unshare -n true 2>/dev/null; then
        exec unshare -n sh -c 'ip link set lo up && exec xvfb-run -a -s "$0" sh "$1" "$2" "$3"' \
            "$screen" "$0" "$build" "$soak_minutes"
    fi
    exec xvfb-run -a -s "$screen" sh "$0" "$build" "$soak_minutes"
fi

# What users see is painted: never the offscreen platform here.
unset QT_QPA_PLATFORM
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d)
    export XDG_RUNTIME_DIR
    trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
status=0
"$build/bench/relay_bench" || status=1
echo
"$build/bench/http_bench" || status=1
if [ -n "$soak_minutes" ]; then
    echo
    "$build/bench/soak" --minutes "$soak_minutes" || status=1
fi
exit $status
