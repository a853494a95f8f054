#!/usr/bin/env bash
# Checks what a user installs: `cmake --install` of a configured build folder into a temporary
# DESTDIR must write exactly the expected files; the desktop entry and the metainfo must validate,
# the man page render, and the Debian package built by cpack must hold the same files (and pass
# lintian without errors when lintian is installed).
# Usage: tools/check-install.sh BUILD_FOLDER
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

expected=(
    bin/sorlen
    share/applications/org.sorlen.Sorlen.desktop
    share/doc/sorlen/README.md
    share/doc/sorlen/changelog.gz
    share/doc/sorlen/copyright
    share/icons/hicolor/128x128/apps/org.sorlen.Sorlen.png
    share/icons/hicolor/256x256/apps/org.sorlen.Sorlen.png
    share/icons/hicolor/48x48/apps/org.sorlen.Sorlen.png
    share/icons/hicolor/scalable/apps/org.sorlen.Sorlen.svg
    share/locale/de/LC_MESSAGES/sorlen.mo
    share/man/man1/sorlen.1.gz
    share/metainfo/org.sorlen.Sorlen.metainfo.xml
)
printf '%s\n' "${expected[@]}" | sort >"$work/expected"

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/root/usr" && find . -type f -o -type l | sed 's|^\./||' | sort) >"$work/installed"
if ! diff -u "$work/expected" "$work/installed"; then
    echo "installed files differ from the expected list" >&2
    exit 1
fi
cat "$work/installed"

share="$work/root/usr/share"
desktop-file-validate "$share/applications/org.sorlen.Sorlen.desktop"
appstreamcli validate --no-net "$share/metainfo/org.sorlen.Sorlen.metainfo.xml"
# man -l warns on standard error about what it cannot lay out; any such line is a fault.
MANWIDTH=80 man -l "$share/man/man1/sorlen.1.gz" 2>"$work/man.err" >"$work/man.txt"
if [ -s "$work/man.err" ] || ! grep -q 'SORLEN_DEBUG' "$work/man.txt"; then
    cat "$work/man.err" >&2
    echo "the man page does not render cleanly" >&2
    exit 1
fi

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/sorlen_*.deb)
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\./usr/||' | sort \
    >"$work/packaged"
if ! diff -u "$work/expected" "$work/packaged"; then
    echo "the package holds other files than the install" >&2
    exit 1
fi
dpkg-deb --field "$deb" Package Version Depends
if command -v lintian >/dev/null; then
    # Errors fail; warnings are shown.
    lintian --fail-on error "$deb"
fi
echo "install check passed: $(basename "$deb")"
