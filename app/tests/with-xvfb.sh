#!/usr/bin/env bash
# Runs a command on a virtual X display of its own and returns its status. Xvfb picks a free
# display number itself (two `xvfb-run -a` can pick the same one), and the server has ended
# before this returns: a server still shutting down removes the socket of the next one that
# took its number.
set -u
tmp=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
for _ in $(seq 1 200); do
    [ "$(wc -l <"$tmp/display")" -ge 1 ] && break
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.1
done
display=$(head -1 "$tmp/display")
if [ -z "$display" ]; then
    echo "Xvfb did not start"
    cat "$tmp/xvfb.log"
    kill "$xvfb" 2>/dev/null
    rm -rf "$tmp"
    exit 1
fi
DISPLAY=:$display "$@"
rc=$?
kill "$xvfb"
wait "$xvfb"
rm -rf "$tmp"
exit $rc
