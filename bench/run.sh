#!/bin/sh
# Runs the benchmarks with the window shown on a display.
# Usage: bench/run.sh [build folder]
# Without a display they run under Xvfb; as root also in a network namespace of their own, so
# that nothing else on the machine holds the fixed frame ports 15730 and 15731 meanwhile.
set -u
build=${1:-build}
screen="-screen 0 1024x768x24"

if [ -z "${DISPLAY:-}" ]; then
    if [ "$(id -u)" = 0 ] && command -v ip >/dev/null && unshare -n true 2>/dev/null; then
        exec unshare -n sh -c 'ip link set lo up && exec xvfb-run -a -s "$0" sh "$1" "$2"' \
            "$screen" "$0" "$build"
    fi
    exec xvfb-run -a -s "$screen" sh "$0" "$build"
fi

# What users see is painted: never the offscreen platform here.
unset QT_QPA_PLATFORM
status=0
"$build/bench/relay_bench" || status=1
echo
"$build/bench/http_bench" || status=1
exit $status
