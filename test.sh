#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
ensure_packages
build_project
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure
