#!/usr/bin/env bash
# Builds the Windows installer and zip with CPack, checks the zip's files,
# then under Wine installs the tool silently, starts the installed program
# (with no DLL folder of the build machine on its path) and uninstalls it.
# Arguments: cpack, CPackConfig.cmake, scratch directory, the Wine wrapper.
set -euo pipefail
cpack=$1 config=$2 work=$3 wine_run=$4

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
if ! "$cpack" --config "$config" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    fail "cpack"
fi
shopt -s nullglob
installers=("$work"/*.exe)
zips=("$work"/*.zip)
[ ${#installers[@]} -eq 1 ] || fail "expected one installer, found ${#installers[@]}"
[ ${#zips[@]} -eq 1 ] || fail "expected one zip, found ${#zips[@]}"
installer=${installers[0]}
echo "installer $(basename "$installer"): $(du -k "$installer" | cut -f1) KB," \
    "zip $(basename "${zips[0]}"): $(du -k "${zips[0]}" | cut -f1) KB"

# The zip holds exactly the installed files: the programs, the DLLs beside
# them and the plugins in their folders, as windeployqt lays them out.
programs="linecard-updater.exe linecard-updater-emulated.exe"
dlls="Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll"
plugins="platforms/qwindows.dll platforms/qoffscreen.dll styles/qwindowsvistastyle.dll"
listing=$(cmake -E tar tf "${zips[0]}" | sed 's|^[^/]*/||' | grep -v '/$' | sort)
for file in $programs $dlls $plugins; do
    grep -qxF "bin/$file" <<<"$listing" || fail "the zip lacks bin/$file:"$'\n'"$listing"
done
extra=$(grep -vE '^(bin/|licenses/|LICENSE\.txt$)' <<<"$listing" || true)
[ -z "$extra" ] || fail "the zip holds more than expected: $extra"

# Installed into a folder of Wine's drive C, the Windows path given as /D.
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/linecard-wine}
target='C:\linecard-installer-check'
installed=$WINEPREFIX/drive_c/linecard-installer-check
rm -rf "$installed"
# Nothing of the build machine on the DLL path: the installed files alone.
export LINECARD_WINE_DLL_PATH=
unset QT_PLUGIN_PATH QT_QPA_PLATFORM_PLUGIN_PATH WINEPATH
"$wine_run" "$installer" /S "/D=$target" || fail "the silent install ended with $?"
for file in $programs $dlls $plugins; do
    [ -f "$installed/bin/$file" ] || fail "not installed: bin/$file"
done
[ -f "$installed/Uninstall.exe" ] || fail "no uninstaller"
links=$(find "$WINEPREFIX/drive_c" -name 'Line Card Update Tool.lnk' | wc -l)
[ "$links" -ge 1 ] || fail "no Start-menu entry"

# The installed tool starts, takes its platform plugin from its own folder
# and names the USB library it chose (none here: no chip maker's driver).
status=0
QT_DEBUG_PLUGINS=1 timeout 60 "$wine_run" "$installed/bin/linecard-updater.exe" \
    >"$work/start.out" 2>"$work/start.log" &
pid=$!
for _ in $(seq 1 50); do
    grep -q '^USB: ' "$work/start.log" && break
    sleep 1
done
grep -q '^USB: ' "$work/start.log" || { cat "$work/start.log" >&2; fail "no 'USB:' line on start"; }
grep -qi 'loaded library "C:/linecard-installer-check/bin/platforms/qwindows.dll"' "$work/start.log" \
    || { cat "$work/start.log" >&2; fail "the windows platform plugin was not loaded from the installed folder"; }
kill "$pid" 2>/dev/null || true
wait "$pid" || status=$?
grep '^USB: ' "$work/start.log"

# Synchronous (_?=), so that its work is done when it returns.
"$wine_run" "$installed/Uninstall.exe" /S "_?=$target" || fail "the silent uninstall ended with $?"
left=$(cd "$installed" && find . -type f ! -name Uninstall.exe | sort)
[ -z "$left" ] || fail "left after uninstalling: $left"
links=$(find "$WINEPREFIX/drive_c" -name 'Line Card Update Tool.lnk' | wc -l)
[ "$links" -eq 0 ] || fail "the Start-menu entry is left"
rm -rf "$installed"

echo "installer $(basename "$installer"): installs, starts and uninstalls silently under Wine"
