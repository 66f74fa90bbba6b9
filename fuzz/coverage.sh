#!/bin/sh
# Line, branch and region coverage of the listener's sources by the inputs of one fuzz target:
# builds the target over the replaying main with clang's source-based coverage, replays the
# inputs given (files or directories) and prints llvm-cov's report.
#   fuzz/coverage.sh descriptions build-fuzz/fuzz-corpus/descriptions fuzz/corpus/descriptions
set -eu
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
    echo "usage: fuzz/coverage.sh descriptions|json_record INPUT..." >&2
    exit 2
fi
target=$1
shift
out=${COVERAGE_DIR:-build-fuzz/coverage}
mkdir -p "$out"

clang++ -std=c++20 -O1 -ffp-contract=off -fprofile-instr-generate -fcoverage-mapping -Isrc \
    fuzz/fuzz_"$target".cc fuzz/replay_main.cc \
    src/descriptions/pgn_table.cc src/descriptions/description_loader.cc \
    src/output/text_format.cc src/output/output_stream.cc src/output/field_decoder.cc \
    src/output/json_record.cc -o "$out/$target"

LLVM_PROFILE_FILE="$out/$target.profraw" "$out/$target" "$@" 2>"$out/$target.stderr"
tail -n 1 "$out/$target.stderr"
llvm-profdata merge -o "$out/$target.profdata" "$out/$target.profraw"
llvm-cov report "$out/$target" -instr-profile="$out/$target.profdata" src/
