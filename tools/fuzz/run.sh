#!/usr/bin/env bash
# Builds the libFuzzer targets and runs them.
#
#   tools/fuzz/run.sh [SECONDS] [lexer|parser|tree|complete|preprocessor|all]
#
# SECONDS (default 60) is the time given to each target. The core is built
# with clang (AddressSanitizer, UndefinedBehaviorSanitizer, fuzzer coverage)
# in build/fuzz/core; the targets land in build/fuzz. Each target keeps its
# growing corpus in build/fuzz/corpus-TARGET, seeded from the examples, from
# tests/data when present and from the regression inputs in
# tests/fuzz_corpus (a regression input that still fails is reported as an
# open finding and left out of the seeds). A finding leaves its input in
# build/fuzz/findings/ and makes the script exit non-zero; minimise it with
#   build/fuzz/fuzz_TARGET -minimize_crash=1 -runs=100000 FILE
# and add the result to tests/fuzz_corpus/. FUZZ_MAX_LEN (default 4096) caps
# the input size the fuzzer tries; FUZZ_TIMEOUT (default 30) the seconds one
# input may take. The targets run one after the other, each
# on one core; on a machine with cores to spare, run them in several shells
# at once (after one run has built them all). "tree" checks the finished
# trees of tarnwick_tree against the tree text, and the reader of tree texts;
# "complete" checks the spans of the complete grammar's trees and that every
# token is in a node or a diagnostic; "preprocessor" the kept tokens of
# conditionals and include files against the scanner's, the evaluator of
# {$IF} expressions and the source decoder. A target with a dictionary of
# its own (tools/fuzz/TARGET.dict) uses it; the others use
# tools/fuzz/pascal.dict.
set -euo pipefail

seconds="${1:-60}"
which="${2:-all}"
case "$which" in
  lexer) targets=(lexer) ;;
  parser) targets=(parser) ;;
  tree) targets=(tree) ;;
  complete) targets=(complete) ;;
  preprocessor) targets=(preprocessor) ;;
  all) targets=(lexer parser tree complete preprocessor) ;;
  *) echo "usage: $0 [SECONDS] [lexer|parser|tree|complete|preprocessor|all]" >&2; exit 2 ;;
esac
# libFuzzer takes 0 for "no limit"; a run here always has one.
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS] [lexer|parser|tree|complete|preprocessor|all]" >&2
  exit 2
fi

root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/build/fuzz"
mkdir -p "$out" "$out/findings"
CXX="${CXX_FUZZ:-clang++}"
if ! command -v "$CXX" >/dev/null; then
  echo "$0: $CXX not found (clang with libclang-rt is needed for libFuzzer)" >&2
  exit 2
fi

san_flags=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -O1 -g)

# The core library, instrumented for coverage but without libFuzzer's main.
cmake -S "$root" -B "$out/core" -G Ninja \
  -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_BUILD_TYPE=None \
  -DTARNWICK_BUILD_MODULE=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link ${san_flags[*]}" >/dev/null
cmake --build "$out/core" --target tarnwick_core -j 2 >/dev/null

for t in "${targets[@]}"; do
  src="$root/tools/fuzz/fuzz_$t.cpp"
  bin="$out/fuzz_$t"
  if [[ ! -x "$bin" || "$src" -nt "$bin" || "$root/tools/fuzz/fuzz_common.h" -nt "$bin" ||
        "$out/core/libtarnwick_core.a" -nt "$bin" ]]; then
    # The target's own checks are compiled optimised and without coverage or
    # sanitizer instrumentation: only the core's code should steer the
    # fuzzer, and the checks over every output line would otherwise take most
    # of each execution.
    "$CXX" -std=c++20 -O2 -g -I"$root/src/core" -c "$src" -o "$bin.o"
    "$CXX" -fsanitize=fuzzer "${san_flags[@]}" "$bin.o" "$out/core/libtarnwick_core.a" -o "$bin"
  fi
done

status=0
for t in "${targets[@]}"; do
  corpus="$out/corpus-$t"
  seeds="$out/seeds-$t"
  rm -rf "$seeds"
  mkdir -p "$corpus" "$seeds"
  # Seeds: every file of these trees, flattened under unique names. A seed
  # that still fails is an open finding: it is reported and left out, so
  # that the fuzzer can look for other ones, and the run ends non-zero.
  n=0
  open_findings=0
  for dir in "$root/examples" "$root/tests/data" "$root/tests/fuzz_corpus"; do
    [[ -d "$dir" ]] || continue
    while IFS= read -r -d '' f; do
      if ! "$out/fuzz_$t" -timeout="${FUZZ_TIMEOUT:-30}" -rss_limit_mb=4096 "$f" >/dev/null 2>&1; then
        echo "   open finding, left out of the seeds: ${f#"$root"/}" >&2
        open_findings=$((open_findings + 1))
        continue
      fi
      n=$((n + 1))
      cp "$f" "$seeds/$n-$(basename "$f")"
    done < <(find "$dir" -type f -print0)
  done
  [[ $open_findings -eq 0 ]] || status=1
  dict="$root/tools/fuzz/$t.dict"
  [[ -f "$dict" ]] || dict="$root/tools/fuzz/pascal.dict"
  log="$out/fuzz_$t.log"
  echo "== fuzz_$t: ${seconds}s, corpus $corpus ($n seed files)"
  set +e
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}" \
    "$out/fuzz_$t" "$corpus" "$seeds" \
      -dict="$dict" \
      -max_total_time="$seconds" \
      -max_len="${FUZZ_MAX_LEN:-4096}" \
      -timeout="${FUZZ_TIMEOUT:-30}" \
      -rss_limit_mb=4096 \
      -print_final_stats=1 \
      -artifact_prefix="$out/findings/$t-" \
      >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  echo "   executions: ${execs:-?}, per second: ${rate:-?}, corpus now $(find "$corpus" -type f | wc -l) inputs"
  if [[ $rc -ne 0 ]]; then
    echo "   FINDING (exit $rc); log: $log" >&2
    grep -E "^(\*\*\*|==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)" "$log" | head -n 20 >&2 || true
    status=1
  fi
done
exit $status
