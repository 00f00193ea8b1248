#!/bin/sh
# Builds the fuzz targets with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, then
# runs each one in turn for a bounded number of executions (default 10 million):
#
#   fuzz/run.sh [runs]          e.g. fuzz/run.sh 100000 for a quick pass
#
# Needs clang with libFuzzer (Debian: apt-get install clang libclang-rt-14-dev). Not part of
# the test suite. Crashing inputs are written to fuzz/artifacts/; each one found so far has
# become a regression test.
set -eu
cd "$(dirname "$0")/.."
RUNS=${1:-10000000}
OUT=build/fuzz
mkdir -p "$OUT" fuzz/artifacts
CXX=${CXX:-clang++}
CORE="core/io/ply.cpp core/io/pcd.cpp core/io/lzf.cpp core/io/source.cpp core/io/xyz.cpp core/io/utf8.cpp core/number_text.cpp core/parallel.cpp core/geometry/point_cloud.cpp core/voxel_map.cpp"
FLAGS="-std=c++20 -O2 -g -I. -ffp-contract=off -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -pthread"
for target in ${TARGETS:-ply xyz number voxel_map_restore pcd_read lzf}; do
    $CXX $FLAGS fuzz/fuzz_$target.cpp $CORE -o "$OUT/fuzz_$target"
done
for target in ${TARGETS:-ply xyz number voxel_map_restore pcd_read lzf}; do
    mkdir -p "$OUT/corpus_$target"
    seeds=""
    [ "$target" = ply ] && seeds="tests/data fuzz/seeds"
    [ "$target" = xyz ] && seeds="fuzz/seeds"
    [ "$target" = pcd_read ] && seeds="fuzz/seeds/pcd"
    echo "== fuzz_$target: $RUNS runs"
    RAYON_NUM_THREADS=1 nice "$OUT/fuzz_$target" -runs="$RUNS" -max_len=${MAX_LEN:-1024} -print_final_stats=1 \
        -artifact_prefix=fuzz/artifacts/ "$OUT/corpus_$target" $seeds
done
