#!/usr/bin/env bash
# Builds Qt 5.15 for 64-bit Windows with MinGW-w64 from Debian's own source
# package (qtbase-opensource-src), with only what the tool and its tests use:
# Qt Core, Gui, Widgets, Test and WinMain, the windows, offscreen and minimal
# platform plugins and the windowsvista style. The result goes into a cache
# folder outside the repository that later runs reuse: its name holds the
# Debian version of the sources and this script's own hash, so that a change
# to either builds anew.
#
#   tools/build-qt-mingw.sh           build unless cached; prints the prefix last
#   tools/build-qt-mingw.sh --prefix  only print where the prefix is (or would be)
#
# LINECARD_QT_CACHE: the cache folder (default /var/cache/linecard-qt as root,
# ~/.cache/linecard-qt otherwise). LINECARD_QT_JOBS: parallel jobs (default
# the number of cores). A cold build takes about 25 minutes of two cores.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."
source tools/deps.sh

if [ "$(id -u)" -eq 0 ]; then
    cache_root=${LINECARD_QT_CACHE:-/var/cache/linecard-qt}
else
    cache_root=${LINECARD_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/linecard-qt}
fi
jobs=${LINECARD_QT_JOBS:-$(nproc)}
source_package=qtbase-opensource-src
upstream_version=5.15.8
script_hash=$(sha256sum "$here/build-qt-mingw.sh" | cut -c1-12)

log() { echo "build-qt-mingw: $*" >&2; }

# Debian ships the sources only through a deb-src entry, which a fresh
# machine lacks: add one for the release's own archive and its updates.
ensure_source_index() {
    local versions
    versions=$(apt-cache showsrc "$source_package" 2>/dev/null || true)
    grep -q "^Version: $upstream_version" <<<"$versions" && return 0
    if [ "$(id -u)" -ne 0 ]; then
        log "no deb-src entry for $source_package; as root this script adds one"
        exit 1
    fi
    log "adding a deb-src entry for Debian bookworm"
    cat >/etc/apt/sources.list.d/linecard-deb-src.sources <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get update -qq
}

ensure_packages g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix dpkg-dev perl python3 \
    g++ make
ensure_source_index
# The newest version the archive offers (a security update builds anew).
debian_version=$(apt-cache showsrc "$source_package" | sed -n 's/^Version: //p' | sort -V | tail -n1)
case $debian_version in
$upstream_version+*) ;;
*)
    log "the archive offers $source_package $debian_version, not Qt $upstream_version"
    exit 1
    ;;
esac
key="qt-${debian_version//[^A-Za-z0-9.+-]/_}-mingw64-$script_hash"
prefix=$cache_root/$key
stamp=$prefix/.linecard-qt-complete

if [ "${1:-}" = --prefix ]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache_root"
# One build per cache folder at a time; a second run waits and then finds it.
exec 9>"$cache_root/.lock"
flock 9

if [ -f "$stamp" ]; then
    log "cached: $prefix"
    echo "$prefix"
    exit 0
fi

start=$SECONDS
work=$cache_root/work-$key
rm -rf "$prefix" "$work"
mkdir -p "$work/src" "$work/bin" "$work/build"

log "fetching $source_package $debian_version"
(cd "$work/src" && apt-get source -q "$source_package=$debian_version" >"$work/fetch.log" 2>&1) || {
    tail -n 20 "$work/fetch.log" >&2
    exit 1
}
src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name "$source_package-*" | head -n1)
[ -x "$src/configure" ] || { log "no configure in $src"; exit 1; }

# Qt's win32-g++ mkspec calls x86_64-w64-mingw32-gcc and -g++; those names
# may point to the win32 thread model, which has no std::thread in GCC 12.
# The posix ones go first on the build's path, whatever the alternatives say.
for tool in gcc g++; do
    ln -s "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH="$work/bin:$PATH"

# Debian's +dfsg tarball leaves out src/3rdparty/wintab, so the windows
# platform plugin is built without tablet support. Everything the tool does
# not use stays out: OpenGL, D-Bus, ICU, SQL, network, XML, printing,
# Direct2D and Vulkan. FreeType from Qt's own copy serves the offscreen
# platform's font database.
log "configuring (log: $work/configure.log)"
cd "$work/build"
"$src/configure" \
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
    -prefix "$prefix" \
    -opensource -confirm-license -release -shared -strip \
    -nomake examples -nomake tests \
    -no-opengl -no-dbus -no-icu -no-vulkan -no-fontconfig \
    -qt-freetype -qt-harfbuzz -qt-zlib -qt-libpng -no-libjpeg -qt-pcre \
    -no-feature-sql -no-feature-network -no-feature-xml -no-feature-concurrent \
    -no-feature-printer -no-feature-direct2d -no-feature-tabletevent \
    >"$work/configure.log" 2>&1 || {
    tail -n 40 "$work/configure.log" >&2
    exit 1
}
log "configured in $((SECONDS - start)) s"

log "building with $jobs jobs (log: $work/build.log)"
if ! make -j"$jobs" >"$work/build.log" 2>&1; then
    grep -m 20 -E 'error|Error' "$work/build.log" >&2 || tail -n 40 "$work/build.log" >&2
    exit 1
fi
make install >"$work/install.log" 2>&1 || {
    tail -n 40 "$work/install.log" >&2
    exit 1
}

for plugin in platforms/qwindows.dll platforms/qoffscreen.dll platforms/qminimal.dll \
    styles/qwindowsvistastyle.dll; do
    [ -f "$prefix/plugins/$plugin" ] || { log "missing plugin $plugin"; exit 1; }
done
echo "$debian_version" >"$stamp"
cd "$cache_root"
rm -rf "$work"
log "Qt $debian_version for MinGW-w64 built in $((SECONDS - start)) s: $prefix ($(du -sh "$prefix" | cut -f1))"
echo "$prefix"
