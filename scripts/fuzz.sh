#!/usr/bin/env bash
# Builds the libFuzzer targets of the stored-format readers with clang (ASan + UBSan) in
# build-fuzz/ (CMake option KESTREL_FUZZ) and runs each for $1 seconds (default 60), starting
# from the committed seeds. New inputs go to build-fuzz/corpus/<target>; crashes to
# build-fuzz/crashes/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(module catalogue users textform)

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if [[ ! -f "$out/CMakeCache.txt" ]]; then
    cmake -S . -B "$out" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER="${CC_FUZZ:-clang}" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" \
        -DKESTREL_FUZZ=ON -DKESTREL_WITH_UI=OFF -DKESTREL_WITH_TESTS=OFF -DKESTREL_WITH_BENCH=OFF
fi
cmake --build "$out" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

status=0
for name in "${targets[@]}"; do
    binary="$out/bin/fuzz_$name"
    mkdir -p "$out/corpus/$name" "$out/crashes/$name"
    echo "== fuzz_$name: ${seconds}s"
    log="$out/fuzz_$name.log"
    if ! "$binary" "$out/corpus/$name" "fuzz/corpus/$name" -dict=fuzz/repository/formats.dict \
            -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
            -artifact_prefix="$out/crashes/$name/" >"$log" 2>&1; then
        status=1
        echo "   FINDING: see $log and $out/crashes/$name/"
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$log" | sed 's/^/   /' || true
    echo "   corpus: $(find "$out/corpus/$name" -type f | wc -l) inputs"
done
exit $status
