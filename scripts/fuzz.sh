#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang, libFuzzer and the address and undefined-
# behaviour sanitizers, and runs each for SECONDS (default 60) on a copy of its seed corpus.
# Prints executions and coverage per target; fails when a target crashes or a property breaks,
# with the input in hex. The committed corpus is never grown.
# Usage: scripts/fuzz.sh [SECONDS]
source "$(dirname "$0")/common.sh"
SECONDS_EACH="${1:-60}"
BUILD_DIR="${CORVANE_FUZZ_BUILD_DIR:-$CORVANE_ROOT/build-fuzz}"
TARGETS=(check_response decoders work_file settings_file value_encoding request_handler bus_listener)

CORVANE_PACKAGES+=(clang)
corvane_install_deps
# libFuzzer's runtime comes in a package of its own on newer releases.
fuzzer_runtime="$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a"
if [ ! -f "$fuzzer_runtime" ]; then
    major="$(clang++ -dumpversion | cut -d. -f1)"
    CORVANE_PACKAGES=("libclang-rt-$major-dev")
    apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1 ||
        CORVANE_PACKAGES=("libclang-common-$major-dev")
    corvane_install_deps
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$CORVANE_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DCORVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" --target corvane-fuzz --parallel "$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
RUN_DIR="$BUILD_DIR/fuzz-run"
rm -rf "$RUN_DIR"
failed=()
rows=()
for target in "${TARGETS[@]}"; do
    dir="$RUN_DIR/$target"
    mkdir -p "$dir"
    cp -r "$CORVANE_ROOT/tests/fuzz/corpus/$target" "$dir/corpus"
    echo "=== fuzz_$target for ${SECONDS_EACH} s"
    status=0
    "$BUILD_DIR/tests/fuzz/fuzz_$target" -max_total_time="$SECONDS_EACH" -timeout=30 \
        -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
    execs="$(awk '/stat::number_of_executed_units/ {n = $2} END {print n}' "$dir/log")"
    cov="$(grep -o 'cov: [0-9]*' "$dir/log" | tail -1 | cut -d" " -f2 || true)"
    ft="$(grep -o 'ft: [0-9]*' "$dir/log" | tail -1 | cut -d" " -f2 || true)"
    result=clean
    if [ "$status" -ne 0 ]; then
        result="FAILED ($status)"
        failed+=("$target")
        tail -n 40 "$dir/log"
        for input in "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-*; do
            [ -f "$input" ] || continue
            echo "--- $input"
            od -A x -t x1z -v "$input"
        done
    fi
    rows+=("$(printf '%-18s %14s %8s %8s  %s' "fuzz_$target" "${execs:-?}" "${cov:-?}" \
        "${ft:-?}" "$result")")
done

echo
printf '%-18s %14s %8s %8s  %s\n' target executions cov ft result
printf '%s\n' "${rows[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "Fuzzing failed: ${failed[*]} (logs and inputs in $RUN_DIR)"
    exit 1
fi
