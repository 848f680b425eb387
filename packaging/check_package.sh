#!/usr/bin/env bash
# Builds the Debian package with CPack, unpacks it into a scratch root and
# checks its files, its dependencies and that the program starts from it.
# Arguments: cpack, CPackConfig.cmake, scratch directory, programs (one word).
set -euo pipefail
cpack=$1 config=$2 work=$3 programs=$4

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
if ! "$cpack" --config "$config" -G DEB -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack"
fi
shopt -s nullglob
debs=("$work"/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one package, found ${#debs[@]}"
deb=${debs[0]}
root=$work/root
dpkg-deb -x "$deb" "$root"

# The files, and nothing else.
expected=(usr/lib/udev/rules.d/70-vx420-controller.rules
          usr/share/applications/linecard-updater.desktop)
for p in $programs; do
    expected+=("usr/bin/$p")
    [ -x "$root/usr/bin/$p" ] || fail "usr/bin/$p is not executable"
done
actual=$(cd "$root" && find . -type f -printf '%P\n' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$actual" = "$wanted" ] || fail "package files differ:"$'\n'"$actual"$'\n'"expected:"$'\n'"$wanted"

desktop=$root/usr/share/applications/linecard-updater.desktop
for line in '[Desktop Entry]' 'Type=Application' 'Exec=linecard-updater'; do
    grep -qxF "$line" "$desktop" || fail "desktop entry lacks $line"
done

rules=$root/usr/lib/udev/rules.d/70-vx420-controller.rules
for product in 6001 6015; do
    rule=$(grep -v '^#' "$rules" | grep -F "ATTR{idProduct}==\"$product\"") \
        || fail "no udev rule for 0403:$product"
    for part in 'SUBSYSTEM=="usb"' 'ATTR{idVendor}=="0403"' 'TAG+="uaccess"' 'GROUP="plugdev"'; do
        grep -qF "$part" <<<"$rule" || fail "udev rule for 0403:$product lacks $part"
    done
done

[ "$(dpkg-deb -f "$deb" Package)" = linecard-updater ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"

# Every library the programs load comes from a package the dependencies
# name, or from the C and C++ runtime that every Debian system has.
depends=$(dpkg-deb -f "$deb" Depends)
allowed=" libc6 libstdc++6 libgcc-s1 $(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/ //g' | tr '\n' ' ') "
for p in $programs; do
    binary=$root/usr/bin/$p
    ldd "$binary" | grep -q 'not found' && fail "$p: a library is missing"
    for lib in $(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        owners=$(dpkg -S "*/$lib" 2>/dev/null | cut -d: -f1 | tr ', ' '\n\n' | sort -u)
        ok=
        for owner in $owners; do
            case "$allowed" in *" $owner "*) ok=1 ;; esac
        done
        [ -n "$ok" ] || fail "$p needs $lib (from: ${owners:-no package}), not in Depends: $depends"
    done
done

# The packaged program starts and names the USB library it chose.
status=0
QT_QPA_PLATFORM=offscreen timeout 2 "$root/usr/bin/linecard-updater" 2>"$work/start.log" || status=$?
[ "$status" -eq 124 ] || { cat "$work/start.log" >&2; fail "linecard-updater ended with $status"; }
grep -q '^USB library: ' "$work/start.log" || fail "no 'USB library:' line on start"

echo "package $deb: ok"
