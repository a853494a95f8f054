#!/usr/bin/env bash
# The offline demo in one command: builds Sorlen when needed, starts the demo-sites server and
# then the program, pointed at the server through a settings file of its own in a temporary
# folder (never the user's own settings), with the https demo's certificate authority trusted
# for that run. The server stops and the folder goes when the program ends.
#
#   bash tools/demo.sh                      # build (when needed) and run
#   bash tools/demo.sh --program PATH       # run that build of the program instead
#   bash tools/demo.sh -- --media-kib 200000   # options after -- go to tools/demo_sites.py
#
# SORLEN_BUILD_DIR names the build folder (default: build/ in the source tree).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${SORLEN_BUILD_DIR:-$source_dir/build}
program=
demo_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --program) program=$2; shift 2 ;;
        --) shift; demo_args=("$@"); break ;;
        *) echo "usage: bash tools/demo.sh [--program PATH] [-- demo_sites.py options]" >&2; exit 2 ;;
    esac
done

if [ -z "$program" ]; then
    [ -f "$build_dir/build.ninja" ] ||
        cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build_dir" --target sorlen
    program=$build_dir/app/sorlen
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sorlen-demo-XXXXXX")
server=
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

python3 "$source_dir/tools/demo_sites.py" --tls-dir "$work/tls" ${demo_args[@]+"${demo_args[@]}"} \
    >"$work/server.out" 2>"$work/server.err" &
server=$!
port=
for _ in $(seq 1 300); do
    read -r _ _ port <"$work/server.out" 2>/dev/null || true
    [ -n "$port" ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "the demo-sites server did not start:" >&2
    cat "$work/server.err" >&2
    exit 1
fi

# A portable copy: the program keeps Settings.ini beside itself when that folder is writable.
mkdir -p "$work/bin" "$work/config"
# Configuration goes to the temporary folder too (a start-at-log-on entry ticked in the demo);
# only the user's folder names are taken along, for the default save folder.
cp "${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs" "$work/config/" 2>/dev/null || true
ln "$program" "$work/bin/sorlen" 2>/dev/null || cp "$program" "$work/bin/sorlen"
cat >"$work/bin/Settings.ini" <<INI
[Options]
UseProxy=1
ProxyAddress=127.0.0.1
ProxyPort=$port
MonitorClipboard=1
INI

echo "Demo sites on 127.0.0.1:$port. Paste one of these into \"Enter Video URL:\" and press Enter:"
python3 "$source_dir/tools/demo_sites.py" --list | sed 's/^/    /'
status=0
XDG_CONFIG_HOME=$work/config SSL_CERT_FILE=$work/tls/ca.pem "$work/bin/sorlen" || status=$?
exit "$status"
