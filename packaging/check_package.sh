#!/usr/bin/env bash
# The Debian packages, built with CPack and checked:
#
#   check_package.sh build CPACK CPACKCONFIG WORK  builds them into WORK
#   check_package.sh contents WORK VERSION         their files, control data, and
#                                                  that the programs start from them
#   check_package.sh lint WORK                     lintian, desktop-file-validate and
#                                                  appstreamcli on what they hold
#
# lint fails on any error or warning, unless a lintian override shipped in
# the package explains it with a comment line right above it.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

need() {
    command -v "$1" >/dev/null \
        || fail "$1 is missing: install $2 (./test.sh installs it through tools/deps.sh)"
}

# deb PACKAGE: the path of that package's .deb in $work.
deb() {
    local found=("$work/$1"_*.deb)
    [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || fail "no single package $1 in $work"
    echo "${found[0]}"
}

# Unpacks a package into $work/root-PACKAGE, afresh.
unpack() {
    rm -rf "$work/root-$1"
    dpkg-deb -x "$(deb "$1")" "$work/root-$1"
}

# files_are PACKAGE FILE...: the package holds these files and nothing else.
files_are() {
    local package=$1 root=$work/root-$1
    shift
    local actual wanted
    actual=$(cd "$root" && find . -type f -printf '%P\n' | sort)
    wanted=$(printf '%s\n' "$@" | sort)
    [ "$actual" = "$wanted" ] \
        || fail "$package: files differ:"$'\n'"$actual"$'\n'"expected:"$'\n'"$wanted"
}

# depends_cover PACKAGE PROGRAM: every library the program loads comes from a
# package its dependencies name, libc's among them.
depends_cover() {
    local package=$1 binary=$work/root-$1/usr/bin/$2 depends allowed lib owners owner ok
    depends=$(dpkg-deb -f "$(deb "$package")" Depends)
    grep -qE '(^|, )libc6( |,|$)' <<<"$depends" || fail "$package: Depends lacks libc6: $depends"
    allowed=" $(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/ //g' | tr '\n' ' ') "
    ldd "$binary" | grep -q 'not found' && fail "$2: a library is missing"
    for lib in $(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        owners=$(dpkg -S "*/$lib" 2>/dev/null | cut -d: -f1 | tr ', ' '\n\n' | sort -u)
        ok=
        for owner in $owners; do
            case "$allowed" in *" $owner "*) ok=1 ;; esac
        done
        [ -n "$ok" ] || fail "$2 needs $lib (from: ${owners:-no package}), not in Depends: $depends"
    done
}

# hardened PROGRAM_PATH: a position-independent executable, full RELRO.
hardened() {
    readelf -h "$1" | grep -q 'Type:.*DYN' || fail "$1 is no position-independent executable"
    readelf -lW "$1" | grep -q 'GNU_RELRO' || fail "$1 has no RELRO segment"
    readelf -dW "$1" | grep -qE '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "$1 is not linked with bind-now"
}

build() {
    local cpack=$1 config=$2
    rm -rf "$work"
    mkdir -p "$work"
    if ! "$cpack" --config "$config" -G DEB -B "$work" >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log" >&2
        fail "cpack"
    fi
    shopt -s nullglob
    local debs=("$work"/*.deb)
    [ ${#debs[@]} -eq 2 ] || fail "expected two packages, found ${#debs[@]}: ${debs[*]}"
    echo "packages: ${debs[*]##*/}"
}

contents() {
    local version=$1 tool=linecard-updater demo=linecard-updater-demo package root
    unpack $tool
    unpack $demo

    files_are $tool usr/bin/linecard-updater \
        usr/lib/udev/rules.d/70-vx420-controller.rules \
        usr/share/applications/linecard-updater.desktop \
        usr/share/icons/hicolor/scalable/apps/linecard-updater.svg \
        usr/share/metainfo/com.example.linecard_updater.metainfo.xml \
        usr/share/man/man1/linecard-updater.1.gz \
        usr/share/doc/linecard-updater/copyright \
        usr/share/doc/linecard-updater/changelog.gz \
        usr/share/doc/linecard-updater/README.md.gz
    files_are $demo usr/bin/linecard-updater-emulated \
        usr/share/man/man1/linecard-updater-emulated.1.gz \
        usr/share/doc/linecard-updater-demo/copyright \
        usr/share/doc/linecard-updater-demo/changelog.gz

    for package in $tool $demo; do
        [ "$(dpkg-deb -f "$(deb $package)" Package)" = $package ] || fail "$package: name"
        [ "$(dpkg-deb -f "$(deb $package)" Version)" = "$version" ] || fail "$package: version"
        [ "$(dpkg-deb -f "$(deb $package)" Architecture)" = "$(dpkg --print-architecture)" ] \
            || fail "$package: architecture"
        # The changelog's latest entry is this version.
        root=$work/root-$package
        zcat "$root/usr/share/doc/$package/changelog.gz" | head -n 1 \
            | grep -q "^linecard-updater ($version) " || fail "$package: changelog is not at $version"
        grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
            "$root/usr/share/doc/$package/copyright" || fail "$package: copyright format"
    done
    grep -q "<release version=\"$version\"" \
        "$work/root-$tool/usr/share/metainfo/com.example.linecard_updater.metainfo.xml" \
        || fail "metainfo names no release $version"

    root=$work/root-$tool
    local desktop=$root/usr/share/applications/linecard-updater.desktop line
    for line in '[Desktop Entry]' 'Type=Application' 'Exec=linecard-updater' \
                'Icon=linecard-updater'; do
        grep -qxF "$line" "$desktop" || fail "desktop entry lacks $line"
    done
    grep -q '^Keywords=' "$desktop" || fail "desktop entry lacks Keywords"

    # The rule matches the controller by its product string, not every chip
    # of the vendor's IDs.
    local rules=$root/usr/lib/udev/rules.d/70-vx420-controller.rules rule part product
    for product in 6001 6015; do
        rule=$(grep -v '^#' "$rules" | grep -F "ATTR{idProduct}==\"$product\"") \
            || fail "no udev rule for 0403:$product"
        for part in 'SUBSYSTEM=="usb"' 'ATTR{idVendor}=="0403"' 'ATTR{product}=="VX420"' \
                    'TAG+="uaccess"' 'GROUP="plugdev"'; do
            grep -qF "$part" <<<"$rule" || fail "udev rule for 0403:$product lacks $part"
        done
    done
    # Installing the package makes udev read the rule and apply it at once.
    dpkg-deb --ctrl-tarfile "$(deb $tool)" | tar -xO ./postinst \
        | grep -q 'udevadm trigger' || fail "postinst does not trigger udev"

    depends_cover $tool linecard-updater
    depends_cover $demo linecard-updater-emulated
    hardened "$root/usr/bin/linecard-updater"
    hardened "$work/root-$demo/usr/bin/linecard-updater-emulated"

    # The packaged programs answer --version without a display, and the tool
    # states the USB library it chose when it starts.
    local out status
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$root/usr/bin/linecard-updater" --version) \
        || fail "linecard-updater --version"
    [ "$out" = "linecard-updater $version" ] || fail "linecard-updater --version said: $out"
    out=$("$work/root-$demo/usr/bin/linecard-updater-emulated" --version) \
        || fail "linecard-updater-emulated --version"
    [ "$out" = "linecard-updater-emulated $version" ] || fail "linecard-updater-emulated --version said: $out"
    status=0
    QT_QPA_PLATFORM=offscreen timeout 2 "$root/usr/bin/linecard-updater" 2>"$work/start.log" \
        || status=$?
    [ "$status" -eq 124 ] || { cat "$work/start.log" >&2; fail "linecard-updater ended with $status"; }
    grep -qE '^USB: (libftdi1|vendor library|none)' "$work/start.log" \
        || { cat "$work/start.log" >&2; fail "no 'USB: ' line on start"; }
    echo "packages: ok"
}

lint() {
    need lintian lintian
    need desktop-file-validate desktop-file-utils
    need appstreamcli appstream
    local package root out tool=linecard-updater demo=linecard-updater-demo
    unpack $tool
    unpack $demo

    # An override counts only with its reason: a comment right above it.
    local overrides file previous line
    for package in $tool $demo; do
        for overrides in "$work/root-$package"/usr/share/lintian/overrides/*; do
            [ -f "$overrides" ] || continue
            previous=
            while IFS= read -r line; do
                if [ -n "$line" ] && [ "${line#\#}" = "$line" ]; then
                    [ "${previous#\#}" != "$previous" ] \
                        || fail "lintian override without a reason in ${overrides##*/}: $line"
                fi
                previous=$line
            done <"$overrides"
        done
    done

    local asroot=()
    [ "$(id -u)" -eq 0 ] && asroot=(--allow-root)
    echo "lintian --pedantic --display-info:"
    if ! lintian "${asroot[@]}" --pedantic --display-info --fail-on error,warning \
            "$(deb $tool)" "$(deb $demo)"; then
        fail "lintian reports errors or warnings"
    fi
    echo "lintian: no error or warning"

    root=$work/root-$tool
    file=$root/usr/share/applications/linecard-updater.desktop
    out=$(desktop-file-validate "$file" 2>&1) || fail "desktop-file-validate: $out"
    [ -z "$out" ] || fail "desktop-file-validate: $out"
    echo "desktop-file-validate: ok"
    file=$root/usr/share/metainfo/com.example.linecard_updater.metainfo.xml
    out=$(appstreamcli validate --pedantic --no-net "$file" 2>&1) || fail "appstreamcli: $out"
    # Pedantic hints and infos are shown; any error or warning fails above.
    echo "appstreamcli validate: $out"
}

mode=${1:-}
shift || true
case "$mode" in
    build)
        [ $# -eq 3 ] || fail "usage: check_package.sh build CPACK CPACKCONFIG WORK"
        work=$3
        build "$1" "$2"
        ;;
    contents)
        [ $# -eq 2 ] || fail "usage: check_package.sh contents WORK VERSION"
        work=$1
        contents "$2"
        ;;
    lint)
        [ $# -eq 1 ] || fail "usage: check_package.sh lint WORK"
        work=$1
        lint
        ;;
    *)
        fail "usage: check_package.sh build|contents|lint ..."
        ;;
esac
