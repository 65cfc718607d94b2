#!/usr/bin/env bash
# Builds the index-file loader fuzzers with clang's libFuzzer, ASan and UBSan
# into build/fuzz/ and runs each for the given number of seconds (default
# 600) on a copy of its seed corpus, tests/fuzz/corpus/<target>/.  Crashing
# inputs land in build/fuzz/artifacts/.
#
#   tests/fuzz/run.sh [seconds] [target...]     targets: rank rank_quant bitmap sign_bitmap large
#
# Environment:
#   CXX                    compiler (default clang++)
#   KWIVEL_FUZZ_OUT        build and work directory (default build/fuzz)
#   KWIVEL_FUZZ_SOURCES    translation units linked with the target (default:
#                          every core source under src/)
set -euo pipefail

seconds="${1:-600}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

out="${KWIVEL_FUZZ_OUT:-build/fuzz}"
rm -rf "$out/artifacts"
mkdir -p "$out/artifacts"
cxx="${CXX:-clang++}"
sources="${KWIVEL_FUZZ_SOURCES:-$(find src -name "*.cpp" | sort | tr "\n" " ")}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(rank rank_quant bitmap sign_bitmap large)
status=0
for target in "${targets[@]}"; do
fuzzer="fuzz_${target}_load"

echo "building $out/$fuzzer with $cxx"
# shellcheck disable=SC2086
"$cxx" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -std=c++20 -O1 -g -Isrc \
    tests/fuzz/$fuzzer.cpp $sources \
    -pthread -o "$out/$fuzzer"

# Work on a copy: libFuzzer adds what it finds to the corpus directory.
rm -rf "$out/corpus-$target"
mkdir -p "$out/corpus-$target"
cp tests/fuzz/corpus/$target/* "$out/corpus-$target/"

# The large-file target builds a few megabytes of valid files on its first
# inputs (once per format and shape).
# It also runs the pool with more checker threads than this machine has
# cores, so pieces are checked out of order.
unit_timeout=10
threads="${KWIVEL_NUM_THREADS:-}"
if [ "$target" = large ]; then unit_timeout=120; threads=4; fi
echo "fuzzing for ${seconds}s"
set +e
KWIVEL_NUM_THREADS="$threads" "$out/$fuzzer" "$out/corpus-$target" \
    -max_total_time="$seconds" \
    -max_len=4096 \
    -rss_limit_mb=2048 \
    -timeout="$unit_timeout" \
    -report_slow_units="$unit_timeout" \
    -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/" 2>&1 | tee "$out/$fuzzer.log"
run_status=${PIPESTATUS[0]}
set -e

execs=$(grep -E '^stat::number_of_executed_units' "$out/$fuzzer.log" | awk '{s += $2} END {print s + 0}')
rate=$(grep -E '^stat::average_exec_per_sec' "$out/$fuzzer.log" | awk '{s += $2} END {print s + 0}')
findings=$(find "$out/artifacts" -type f | wc -l)
echo "executions: $execs  exec/s: $rate  corpus: $(ls "$out/corpus-$target" | wc -l) files  findings: $findings"
find "$out/artifacts" -type f -print
if [ "$run_status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    status=1
fi
done
exit $status
