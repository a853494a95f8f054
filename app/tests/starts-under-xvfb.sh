#!/usr/bin/env bash
# Smoke test: the program starts on a virtual X display and is still running after a few
# seconds (it has no way to end by itself, so the time-out is the pass).
set -u
program=$1
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
HOME=$home QT_QPA_PLATFORM=xcb bash "$(dirname "$0")/with-xvfb.sh" timeout 6 "$program" \
    >"$home/out.log" 2>&1
rc=$?
if [ "$rc" -ne 124 ]; then
    echo "sorlen ended early with status $rc"
    cat "$home/out.log"
    exit 1
fi
