#!/usr/bin/env bash
# Builds the libFuzzer targets of the stored-format readers with clang (ASan + UBSan) in
# build-fuzz/ and runs each for $1 seconds (default 60), starting from the committed seeds.
# New inputs go to build-fuzz/corpus/<target>; crashes to build-fuzz/crashes/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${FUZZ_BUILD_DIR:-build-fuzz}
cxx=${CXX_FUZZ:-clang++}
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -Isrc -Iinclude)
core_sources=(src/core/Gbk.cpp src/core/AtomicFile.cpp
              src/accounts/UserTable.cpp src/accounts/TextRoutines.cpp src/accounts/Settings.cpp
              src/repository/ModuleFile.cpp src/repository/Catalogue.cpp src/repository/ModuleScan.cpp)
targets=(module:FuzzModule.cpp catalogue:FuzzCatalogue.cpp users:FuzzUserTable.cpp)

mkdir -p "$out/obj"
objects=()
for src in "${core_sources[@]}"; do
    obj="$out/obj/$(echo "$src" | tr / _).o"
    if [[ ! -f "$obj" || "$src" -nt "$obj" || -n "$(find src -name '*.h' -newer "$obj" -print -quit)" ]]; then
        "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
    fi
    objects+=("$obj")
done

status=0
for entry in "${targets[@]}"; do
    name=${entry%%:*}
    source=fuzz/repository/${entry#*:}
    binary="$out/fuzz_$name"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$source" "${objects[@]}" -o "$binary"
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
