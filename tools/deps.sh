# Sourced by run.sh, test.sh and the tools: makes sure the Debian packages the
# build needs are installed. As root it installs what is missing; otherwise it
# prints the apt-get line to run and stops.

# The build, the packages (dpkg-dev: dpkg-shlibdeps), the window's SVG icon
# (libqt5svg5) and the tests (umockdev).
LINECARD_PACKAGES=(cmake g++ make pkg-config qtbase5-dev libftdi1-dev libqt5svg5 dpkg-dev
                   umockdev libumockdev-dev)
# The test suite's package checks (test.sh) need these as well.
LINECARD_CHECK_PACKAGES=(lintian desktop-file-utils appstream)
# The Windows build made here (tools/windows.sh): MinGW-w64, Wine to run its
# tests, NSIS for its installer, fonts for Qt's offscreen platform under Wine;
# tools/build-qt-mingw.sh adds what Qt's own build needs.
LINECARD_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 nsis
                           fonts-dejavu-core)
# The libFuzzer build (tools/fuzz.sh) needs these as well.
LINECARD_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev ninja-build)

# ensure_packages [PACKAGE...]: the packages named, by default LINECARD_PACKAGES.
ensure_packages() {
    local wanted=("$@") missing=() p
    [ ${#wanted[@]} -eq 0 ] && wanted=("${LINECARD_PACKAGES[@]}")
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Missing packages. Run as root, or install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

# build_project: configures build/ and builds everything.
build_project() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$(nproc)"
}

# build_quietly TARGET...: configures build/ and builds only the targets
# named, with one line on standard error; the build's output is shown only
# when it fails (it stays in build/build.log).
build_quietly() {
    local log=build/build.log start=$SECONDS
    mkdir -p build
    printf 'Building %s ... ' "$*" >&2
    if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
           && cmake --build build -j"$(nproc)" --target "$@"; } >"$log" 2>&1; then
        echo "failed:" >&2
        cat "$log" >&2
        exit 1
    fi
    echo "done ($((SECONDS - start)) s)" >&2
}
