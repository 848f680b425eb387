#!/usr/bin/env bash
# Runs a Windows program under Wine, as CTest runs the test programs of a
# Windows build made on Linux (the toolchain file names it as the emulator):
#
#   tools/wine-run.sh PROGRAM.exe [ARGUMENT...]
#
# LINECARD_WINE_DLL_PATH: folders, separated by ':', where the program's DLLs
# are found after its own folder (Qt's bin folder, MinGW's runtime).
# WINEPREFIX: default ~/.cache/linecard-wine, made on first use.
#
# Wine hands the Unix environment's QT_* variables to a Windows program only
# renamed WINEQT_*, and takes WINEQT_* back as QT_*: each QT_* variable is
# passed on as itself that way. A program started from a Unix shell has no
# Windows console, so Qt would send its messages and QtTest its report to
# the debugger: QT_FORCE_STDERR_LOGGING=1 keeps them on the standard streams.
set -euo pipefail

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/linecard-wine}
export WINEDEBUG=${WINEDEBUG:--all}
# Neither Mono nor Gecko: a new prefix would otherwise offer to install them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Several tests start at once: the first makes the prefix, the others wait.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1
    ) 9>"$WINEPREFIX.lock"
fi

dlls=()
IFS=: read -ra folders <<<"${LINECARD_WINE_DLL_PATH:-}"
for folder in "${folders[@]}"; do
    [ -n "$folder" ] && dlls+=("Z:${folder//\//\\}")
done
WINEPATH=$(IFS=';' && echo "${dlls[*]}")${WINEPATH:+;$WINEPATH}
export WINEPATH

while IFS= read -r name; do
    export "WINE$name=${!name}"
done < <(compgen -e | grep '^QT_' || true)
export WINEQT_FORCE_STDERR_LOGGING=1

exec "$wine" "$@"
