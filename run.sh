#!/usr/bin/env bash
# Builds the tool.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
ensure_packages
build_project
