#!/usr/bin/env bash
# Builds everything and runs the whole test suite, the package checks
# (lintian, desktop-file-validate, appstreamcli) among them. The tests run in
# parallel, four to a core: most of them wait on the link's reply time-outs
# rather than on the processor. Arguments go to ctest (for example -L unit).
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
ensure_packages "${LINECARD_PACKAGES[@]}" "${LINECARD_CHECK_PACKAGES[@]}"
build_project
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(( $(nproc) * 4 ))" "$@"
