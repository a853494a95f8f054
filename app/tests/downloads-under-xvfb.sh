#!/usr/bin/env bash
# Smoke test on a real X server: the offline demo, started as the README starts it
# (tools/demo.sh), takes a demo address and Enter, asks where to save through the program's own
# save dialog and writes the served media; then "Close" and "Exit" end it normally, and the demo
# command stops its server and removes its folder. xdotool plays the user. Every wait has a
# deadline.
set -u
program=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    cat "$work/out.log" 2>/dev/null
    exit 1
}

# The demo command's temporary folder goes to tmp/, which must be empty again at the end.
mkdir -p "$work/home" "$work/films" "$work/tmp" "$work/runtime"
chmod 700 "$work/runtime"

cat >"$work/drive.sh" <<'DRIVE'
set -u
export HOME=$1 work=$2 program=$3 source_dir=$4
XDG_RUNTIME_DIR=$work/runtime TMPDIR=$work/tmp bash "$source_dir/tools/demo.sh" --program "$program" -- --media-kib 3000 \
    >"$work/out.log" 2>&1 &
app=$!
. "$source_dir/app/tests/xvfb-drive.sh"
main=$(wait_window '^Sorlen$') || { echo "no main window"; exit 1; }
click "$main" 100 104  # the address field
xdotool type --delay 5 'http://www.youtube.com/watch?v=sorlen01'
xdotool key Return     # "OK"
dialog=$(wait_window '^Save') || { echo "no save dialog"; exit 1; }
xdotool windowfocus --sync "$dialog"
xdotool key ctrl+a
xdotool type --delay 5 "$work/films/walk.flv"
xdotool key Return
download=$(wait_window '^Download complete$') || { echo "download did not complete"; exit 1; }
close_and_exit "$download" "$main" "$app"
DRIVE

HOME=$work/home QT_QPA_PLATFORM=xcb bash "$(dirname "$0")/with-xvfb.sh" timeout 90 \
    bash "$work/drive.sh" "$work/home" "$work" "$program" "$source_dir" ||
    fail "driving the program failed"
[ -z "$(ls -A "$work/tmp")" ] || fail "the demo command left $(ls "$work/tmp")"

python3 "$source_dir/tools/demo_sites.py" --media-kib 3000 --dump \
    "http://v12.lscache3.c.youtube.com/videoplayback?ip=0.0.0.0&sparams=id%2Cexpire%2Citag&itag=5&id=sorlen01&expire=1262304000" \
    "$work/expected" || fail "no expected media"
cmp -s "$work/expected" "$work/films/walk.flv" || fail "saved file differs from the served media"
[ -z "$(ls "$work/films" | grep -v '^walk.flv$')" ] || fail "other files left: $(ls "$work/films")"
echo "downloaded $(stat -c %s "$work/films/walk.flv") bytes through the program's windows"
