#!/usr/bin/env bash
# Installs every Debian package that building, running, testing and benchmarking Sorlen needs.
# Both README commands and CI call this, so a newcomer and CI install the same set.
set -euo pipefail

packages=(
    build-essential cmake ninja-build clang libclang-rt-14-dev clang-format
    qt6-base-dev libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev libpcre2-dev
    libssl-dev openssl nginx-light squid dante-server microsocks python3 curl
    xvfb xauth xclip xdotool aria2 dbus
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The test suite starts its own nginx, squid and danted on free ports; the packaged services are
# not needed.
for svc in nginx squid danted; do
    "${sudo_cmd[@]}" systemctl disable --now "$svc" >/dev/null 2>&1 || "${sudo_cmd[@]}" service "$svc" stop >/dev/null 2>&1 || true
done
