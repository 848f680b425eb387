#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with Clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, replays every target's regression inputs, then
# fuzzes each target for SECONDS (default 20) starting from a copy of its seed
# corpus. Exits non-zero when a regression fails or fuzzing finds anything;
# new crash inputs are left in the build directory's fuzz-artifacts/.
#
#   tools/fuzz.sh [SECONDS]
#
# The build directory is build-fuzz, or $LINECARD_FUZZ_BUILD_DIR when set.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: tools/fuzz.sh [SECONDS]" >&2
    exit 2
fi

source tools/deps.sh
ensure_packages "${LINECARD_PACKAGES[@]}" "${LINECARD_FUZZ_PACKAGES[@]}"

build="${LINECARD_FUZZ_BUILD_DIR:-build-fuzz}"
CXX=clang++-14 CC=clang-14 cmake -S . -B "$build" -G Ninja -DLINECARD_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target fuzzers -j"$(nproc)"

targets=(fuzz_firmwareimage fuzz_receivepath fuzz_bootloaderreplies fuzz_infoasegment)
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=()

shopt -s nullglob
for target in "${targets[@]}"; do
    inputs=(fuzz/regressions/"$target"/*)
    if [ ${#inputs[@]} -gt 0 ]; then
        echo "== $target: replaying ${#inputs[@]} regression input(s)"
        if ! "$build/fuzz/$target" "${inputs[@]}" >"$work/$target-replay.log" 2>&1; then
            cat "$work/$target-replay.log" >&2
            failed+=("$target (regressions)")
        fi
    fi
done

for target in "${targets[@]}"; do
    echo "== $target: fuzzing for ${seconds}s"
    cp -r "fuzz/corpus/$target" "$work/$target"
    if ! "$build/fuzz/$target" "$work/$target" -max_total_time="$seconds" -timeout=25 \
            -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
            >"$work/$target-fuzz.log" 2>&1; then
        tail -n 60 "$work/$target-fuzz.log" >&2
        failed+=("$target")
    fi
    grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units' "$work/$target-fuzz.log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing failed: ${failed[*]} (inputs in $artifacts)" >&2
    exit 1
fi
echo "Fuzzing: no findings."
