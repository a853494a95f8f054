#!/usr/bin/env bash
# Installs the Debian packages Sorlen needs. With --run only what building, installing, packing
# (cpack) and running the program need; without it also what the tests, benchmarks, fuzz runs
# and install checks need. Both README commands and CI call this, so a newcomer and CI install
# the same set. It installs packages and generates the German locale the window tests use; it
# never stops, disables or configures a service: the tests run their own servers on free ports,
# beside any packaged one.
set -euo pipefail

run_packages=(
    build-essential cmake ninja-build
    qt6-base-dev libgl-dev libssl-dev
    gettext librsvg2-bin file
)
test_packages=(
    clang libclang-rt-14-dev clang-format
    libgtest-dev libgmock-dev libbenchmark-dev libpcre2-dev
    openssl nginx-light squid dante-server microsocks openssh-server openssh-client iptables
    python3 curl
    xvfb xauth xclip xdotool aria2 dbus
    locales desktop-file-utils appstream man-db lintian
)

case "${1:-}" in
    --run) packages=("${run_packages[@]}") ;;
    "") packages=("${run_packages[@]}" "${test_packages[@]}") ;;
    *) echo "usage: $0 [--run]" >&2; exit 2 ;;
esac

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi

# The window tests show the German catalogue; the locale must exist for LANG=de_DE.UTF-8 to
# take effect.
if [ -z "${1:-}" ] && ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
    "${sudo_cmd[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
