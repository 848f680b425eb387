# Sourced by run.sh and test.sh: makes sure the Debian packages the build
# needs are installed. As root it installs what is missing; otherwise it
# prints the apt-get line to run and stops.

LINECARD_PACKAGES=(cmake g++ make pkg-config qtbase5-dev libftdi1-dev)

ensure_packages() {
    local missing=() p
    for p in "${LINECARD_PACKAGES[@]}"; do
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

build_project() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$(nproc)"
}
