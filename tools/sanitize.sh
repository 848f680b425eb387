#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan, compiler warnings as errors, and runs it; any sanitizer report
# fails a test.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
ensure_packages
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINECARD_SANITIZE=ON -DLINECARD_WERROR=ON
cmake --build build-asan -j"$(nproc)"
cd build-asan
# umockdev's wrapper preloads its own library ahead of the sanitizer runtime;
# the runtime is linked into every program, so the order check is not needed.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:verify_asan_link_order=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(( $(nproc) * 2 ))"
