#!/usr/bin/env bash
# Smoke test on a real X server: a download killed (SIGKILL) in the middle is offered again at
# the next start and completes through the program's own windows. nginx trickles the whole file,
# so that the download is still running when it is killed, and sends a range at full speed.
# xdotool plays the user. Every wait has a deadline.
set -u
program=$1
nginx=${2:-/usr/sbin/nginx}
work=$(mktemp -d)
nginx_pid=
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    cat "$work/out.log" "$work/nginx/error.log" 2>/dev/null
    exit 1
}

mkdir -p "$work/home" "$work/films" "$work/bin" "$work/media" "$work/nginx" "$work/runtime"
chmod 700 "$work/runtime"
head -c 3000000 /dev/urandom >"$work/media/clip.mp4"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# One process of the caller's own, so that it reads the private folders as the caller does.
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 16; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  map \$http_range \$trickle { "" 16k; default 0; }
  server {
    listen 127.0.0.1:$port;
    root $work/media;
    limit_rate \$trickle;
  }
}
CONF
"$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

# A portable copy, so that its Settings.ini is its own: direct connections, films/ to save to.
ln "$program" "$work/bin/sorlen" 2>/dev/null || cp "$program" "$work/bin/sorlen"
printf '[Options]\nSaveTo=%s/films/\n' "$work" >"$work/bin/Settings.ini"

cat >"$work/drive.sh" <<'DRIVE'
set -u
work=$1 port=$2 here=$3
export XDG_STATE_HOME=$work/state XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
. "$here/xvfb-drive.sh"
"$work/bin/sorlen" >>"$work/out.log" 2>&1 &
app=$!
main=$(wait_window '^Sorlen$') || { echo "no main window"; exit 1; }
click "$main" 100 104  # the address field
xdotool type --delay 5 "http://127.0.0.1:$port/clip.mp4"
xdotool key Return
dialog=$(wait_window '^Save') || { echo "no save dialog"; exit 1; }
xdotool windowfocus --sync "$dialog"
xdotool key ctrl+a
xdotool type --delay 5 "$work/films/clip.mp4"
xdotool key Return
for _ in $(seq 1 200); do
    [ -s "$work/films/clip.mp4.part" ] && break
    sleep 0.1
done
[ -s "$work/films/clip.mp4.part" ] || { echo "the download did not start"; exit 1; }
kill -KILL "$app"
wait "$app" 2>/dev/null
[ -s "$work/state/sorlen/downloads" ] || { echo "no journal after the kill"; exit 1; }

"$work/bin/sorlen" >>"$work/out.log" 2>&1 &
app=$!
question=$(wait_window '^Unfinished downloads$') || { echo "no question at the restart"; exit 1; }
xdotool windowfocus --sync "$question"
xdotool key alt+y
download=$(wait_window '^Download complete$') || { echo "download did not complete"; exit 1; }
main=$(wait_window '^Sorlen$') || { echo "no main window"; exit 1; }
close_and_exit "$download" "$main" "$app"
DRIVE

HOME=$work/home QT_QPA_PLATFORM=xcb bash "$(dirname "$0")/with-xvfb.sh" timeout 90 \
    bash "$work/drive.sh" "$work" "$port" "$(cd "$(dirname "$0")" && pwd)" ||
    fail "driving the program failed"

cmp -s "$work/media/clip.mp4" "$work/films/clip.mp4" || fail "saved file differs from the served one"
[ "$(ls "$work/films")" = clip.mp4 ] || fail "other files left: $(ls "$work/films")"
grep -q '"GET /clip.mp4 HTTP/1.0" 206' "$work/nginx/access.log" ||
    fail "the restart did not ask for the rest: $(cat "$work/nginx/access.log")"
echo "resumed $(stat -c %s "$work/films/clip.mp4") bytes after a kill through the program's windows"
