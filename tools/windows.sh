#!/usr/bin/env bash
# The Windows stage: builds Qt for MinGW-w64 unless its cache has it
# (tools/build-qt-mingw.sh), cross-builds everything for 64-bit Windows in
# build-windows with compiler warnings as errors, runs the tests under Wine,
# then builds the installer and checks it under Wine. Each step prints what
# it took. Arguments go to ctest for the tests (for example -L unit).
#
# LINECARD_WINDOWS_BUILD: the build directory (default build-windows).
# WINEPREFIX: Wine's prefix (default ~/.cache/linecard-wine).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
build=${LINECARD_WINDOWS_BUILD:-build-windows}

step() {
    local start=$SECONDS
    echo "--- windows: $1"
    shift
    "$@"
    echo "--- windows: took $((SECONDS - start)) s"
}

ensure_packages "${LINECARD_PACKAGES[@]}" "${LINECARD_WINDOWS_PACKAGES[@]}"

qt_prefix=
build_qt() {
    tools/build-qt-mingw.sh >"$build.qt-prefix"
    qt_prefix=$(tail -n1 "$build.qt-prefix")
    echo "Qt for MinGW-w64: $qt_prefix"
}
mkdir -p "$(dirname "$build")"
step "Qt 5.15 for MinGW-w64 (cached after the first build)" build_qt
rm -f "$build.qt-prefix"

build_project() {
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/tools/mingw-w64-x86_64.cmake" \
        -DCMAKE_PREFIX_PATH="$qt_prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINECARD_WERROR=ON
    cmake --build "$build" -j"$(nproc)"
}
step "build" build_project

# One Wine server for every test program: each would otherwise start its
# own, which costs about three seconds a program.
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/linecard-wine}
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
tools/wine-run.sh cmd /c exit 0 # makes the prefix on first use
# The server that program started lingers for a few seconds, and a second
# one for the same prefix refuses to start: wait for it to end first.
"$wineserver" -w
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
# Wine's own services start with the first program and live as long as the
# server; started by a test, they would hold its output open, and CTest
# would wait for them to the end. A first program with nowhere to write
# starts them.
tools/wine-run.sh cmd /c exit 0 </dev/null >/dev/null 2>&1

# Now and then Wine fails to start a program: it ends at once, with no
# output (once in some 300 programs here). A test that fails is run once
# more, so that such a start does not fail the stage; a real failure fails
# both times, and the Linux stages run every test without a second chance.
run_tests() {
    (cd "$build" && ctest --output-on-failure -LE package --repeat until-pass:2 \
        -j"$(($(nproc) * 4))" "$@")
}
step "tests under Wine" run_tests "$@"

check_installer() {
    (cd "$build" && ctest --output-on-failure -L package)
}
step "installer" check_installer
