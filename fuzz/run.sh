#!/bin/sh
# Builds every fuzz target (fuzz/fuzz_NAME.cpp) with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each one in turn for a bounded number of executions
# (default 10 million):
#
#   fuzz/run.sh [runs]                  e.g. fuzz/run.sh 50000 for the quick pass of .ci/run
#   TARGETS="ply xyz" fuzz/run.sh       only these targets
#
# Needs clang with libFuzzer (Debian: apt-get install clang libclang-rt-14-dev). A new target
# needs nothing here: the core is compiled once into an archive and each target links what it
# uses. Seeds: fuzz/seeds/NAME/ when it exists (plus the shared files below for ply and xyz).
# Crashing inputs are written to fuzz/artifacts/ and the run stops with a failure; each one
# found so far has become a regression test.
set -eu
cd "$(dirname "$0")/.."
RUNS=${1:-10000000}
OUT=${OUT:-build/fuzz}
mkdir -p "$OUT/core" fuzz/artifacts
CXX=${CXX:-clang++}
command -v ccache >/dev/null && CXX="ccache $CXX"
FLAGS="-std=c++20 -O2 -g -I. -ffp-contract=off -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -pthread"

# The whole core, with the sanitizers and coverage hooks, as one archive.
rm -f "$OUT"/core/*.o "$OUT/libcore.a"
find core -name '*.cpp' | sort | xargs -P "$(nproc)" -I{} sh -c \
    'obj="$0/core/$(echo "{}" | tr / _).o"; $1 $2 -c "{}" -o "$obj"' "$OUT" "$CXX" "$FLAGS"
ar rcs "$OUT/libcore.a" "$OUT"/core/*.o

if [ -z "${TARGETS:-}" ]; then
    TARGETS=$(for src in fuzz/fuzz_*.cpp; do name=${src#fuzz/fuzz_}; echo "${name%.cpp}"; done)
fi
for target in $TARGETS; do
    $CXX $FLAGS -fsanitize=fuzzer "fuzz/fuzz_$target.cpp" "$OUT/libcore.a" -o "$OUT/fuzz_$target"
done
for target in $TARGETS; do
    mkdir -p "$OUT/corpus_$target"
    seeds=""
    [ "$target" = ply ] && seeds="tests/data fuzz/seeds"
    [ "$target" = xyz ] && seeds="fuzz/seeds"
    [ -d "fuzz/seeds/$target" ] && seeds="$seeds fuzz/seeds/$target"
    echo "== fuzz_$target: $RUNS runs"
    RAYON_NUM_THREADS=1 nice "$OUT/fuzz_$target" -runs="$RUNS" -max_len=${MAX_LEN:-1024} -print_final_stats=1 \
        -artifact_prefix=fuzz/artifacts/ "$OUT/corpus_$target" $seeds
done
