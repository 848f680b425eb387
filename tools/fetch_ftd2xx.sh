#!/usr/bin/env bash
# fetch_ftd2xx.sh OUTDIR: puts the chip maker's D2XX library for tests into
# OUTDIR as libftd2xx.so, with its licence texts beside it.
#
# The npm package ftdi-d2xx 1.3.1 carries lib/Linux/libftd2xx.a, the x86-64
# Linux build 1.4.24 of the library with its own libusb inside. The package is
# checked against its pinned SHA-256, then the archive is linked into a shared
# object that exports only the library's FT_* functions and binds its own
# symbols to itself (-Bsymbolic), so that its libusb never meets the
# machine's libusb that libftdi1 loads into the same process.
#
# Nothing of this is committed: it lands in the build tree. Without npm or
# without the registry it writes no library, says why and exits 0, and
# tst_vendorusb is skipped; under CI (CI=true) that is a failure instead,
# since CI reaches the registry. A package whose checksum differs is always
# a failure.
set -euo pipefail

out=${1:?usage: fetch_ftd2xx.sh OUTDIR}
readonly package=ftdi-d2xx@1.3.1
readonly tarball=ftdi-d2xx-1.3.1.tgz
readonly sha256=f5fda5be0336e900c6a2046d1b68c1ad51955a130b9336f7d04e02cbd4f2c8d5

unavailable() {
    echo "fetch_ftd2xx: $* - the chip maker's library is not there, tst_vendorusb is skipped" >&2
    if [ "${CI:-}" = true ]; then
        echo "fetch_ftd2xx: CI reaches the npm registry, so this is a failure" >&2
        exit 1
    fi
    exit 0
}

mkdir -p "$out"
if [ -f "$out/libftd2xx.so" ] && [ "$(cat "$out/package.sha256" 2>/dev/null)" = "$sha256" ]; then
    exit 0
fi
rm -f "$out/libftd2xx.so" "$out/package.sha256"

[ "$(uname -s)-$(uname -m)" = Linux-x86_64 ] || unavailable "the package holds an x86-64 Linux build only"
command -v npm >/dev/null || unavailable "npm not found"
cc=${CC:-cc}
command -v "$cc" >/dev/null || unavailable "no C compiler ($cc) to link it"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# One try, bounded: a machine without the registry should not wait minutes.
if ! (cd "$work" && timeout 120 npm pack --silent --fetch-retries=1 --fetch-timeout=30000 \
        "$package" >/dev/null 2>"$work/npm.log"); then
    sed 's/^/  npm: /' "$work/npm.log" | tail -5 >&2
    unavailable "npm pack $package failed"
fi
actual=$(sha256sum "$work/$tarball" | cut -d' ' -f1)
if [ "$actual" != "$sha256" ]; then
    echo "fetch_ftd2xx: $tarball has SHA-256 $actual, expected $sha256" >&2
    exit 1
fi

tar -xzf "$work/$tarball" -C "$work" package/lib/Linux/libftd2xx.a package/inc/ftd2xx.h \
    package/lib/libusb-source/COPYING package/LICENSE package/README.md
printf '{\n  global: FT_*;\n  local: *;\n};\n' >"$work/ftd2xx.map"
"$cc" -shared -o "$work/libftd2xx.so" -Wl,-soname,libftd2xx.so \
    -Wl,--whole-archive "$work/package/lib/Linux/libftd2xx.a" -Wl,--no-whole-archive \
    -Wl,--version-script="$work/ftd2xx.map" -Wl,-Bsymbolic -lpthread -lrt

# The licence terms as the library's header carries them, libusb's licence
# (its source is in the package), and the npm package's own.
sed -n '1,/^--\*\//p' "$work/package/inc/ftd2xx.h" >"$out/LICENCE-libftd2xx.txt"
cp "$work/package/lib/libusb-source/COPYING" "$out/COPYING-libusb.txt"
cp "$work/package/LICENSE" "$out/LICENSE-ftdi-d2xx-npm.txt"
{
    echo "libftd2xx.so here was linked by tools/fetch_ftd2xx.sh from the npm package"
    echo "$package (SHA-256 $sha256), lib/Linux/libftd2xx.a, D2XX 1.4.24 for x86-64 Linux."
    echo "It is for tests only and is never committed. The package's README says:"
    echo
    sed -n '/^## Licensing/,$p' "$work/package/README.md"
} >"$out/README.txt"
mv "$work/libftd2xx.so" "$out/libftd2xx.so"
echo "$sha256" >"$out/package.sha256"
echo "fetch_ftd2xx: $out/libftd2xx.so from $package"
