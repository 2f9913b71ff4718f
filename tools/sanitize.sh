#!/usr/bin/env bash
# Runs the extension under the sanitizers.
#
#   tools/sanitize.sh [pytest arguments...]   the whole test suite against a
#                                             build with AddressSanitizer and
#                                             UndefinedBehaviorSanitizer
#   tools/sanitize.sh --leaks [CALLS [--plant-leak]]
#                                             LeakSanitizer: CALLS (default
#                                             20000) calls of both functions and
#                                             every argument error
#                                             (tools/leak_check.py), then the
#                                             whole test suite; --plant-leak
#                                             leaks a result on purpose to show
#                                             that the check catches it
#
# The modules (tarnwick and tarnwick_tree's native part) are built with g++
# and TARNWICK_SANITIZE=ON in build/sanitize and
# loaded into the ordinary python through LD_PRELOAD of g++'s libasan and
# libubsan (the interpreter itself is not instrumented). Leak detection is off
# in the first form, since CPython does not free everything at exit; --leaks
# lets LeakSanitizer report at the exit of every process and fails only on
# leaks whose allocation stack runs through tarnwick's own code.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/sanitize"
# The interpreter itself, not a wrapper script (such as a version manager's
# shim) that would run other programs under the preloaded sanitizers.
python="$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')"

mode=tests
if [[ "${1:-}" == "--leaks" ]]; then
  mode=leaks
  shift
fi

cxx="${CXX:-g++}"
libasan="$("$cxx" -print-file-name=libasan.so)"
libubsan="$("$cxx" -print-file-name=libubsan.so)"
for lib in "$libasan" "$libubsan"; do
  if [[ ! -e "$lib" ]]; then
    echo "$0: $cxx does not know where $(basename "$lib") is; install the sanitizer runtimes" >&2
    exit 2
  fi
done

generator=()
if [[ ! -e "$build/CMakeCache.txt" ]] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICK_SANITIZE=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --target tarnwick tarnwick_tree_native -j 2 >/dev/null
module="$(find "$build" -maxdepth 1 -name 'tarnwick*.so' | head -n 1)"
tree_module="$(find "$build/tarnwick_tree" -maxdepth 1 -name '_native*.so' 2>/dev/null | head -n 1)"
if [[ -z "$module" || -z "$tree_module" ]]; then
  echo "$0: the build left no tarnwick or tarnwick_tree module in $build" >&2
  exit 1
fi
for m in "$module" "$tree_module"; do
  if ! grep -q __asan_init < <(nm -D "$m"); then
    echo "$0: $m is not built with AddressSanitizer" >&2
    exit 1
  fi
done

export LD_PRELOAD="$libasan $libubsan${LD_PRELOAD:+ $LD_PRELOAD}"
# The command-line package comes from the source tree.
export PYTHONPATH="$build:$root/src${PYTHONPATH:+:$PYTHONPATH}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
cd "$root"

# AddressSanitizer's red zones make stack frames several times larger: the
# recursion that fits a 512 KiB thread in the normal build (nested records
# at the depth limit need 256 to 512 KiB there) needs 2 to 4 MiB here. The
# thread stack sizes that tests ask for are therefore multiplied by 16; the
# small-stack property itself is checked by the normal build.
cat >"$build/sanitizer_stack.py" <<'PLUGIN'
import threading

_stack_size = threading.stack_size


def _scaled(size=0):
    return _stack_size(size * 16) // 16


threading.stack_size = _scaled
PLUGIN

# The import must find the sanitizer build, not an installed copy.
ASAN_OPTIONS=detect_leaks=0 "$python" -c "import tarnwick, tarnwick_tree._native as t, sys; sys.exit(0 if tarnwick.__file__.startswith('$build') and t.__file__.startswith('$build') else 'imported from ' + tarnwick.__file__ + ', ' + t.__file__)"

if [[ $mode == tests ]]; then
  export ASAN_OPTIONS="detect_leaks=0"
  # faulthandler would take SIGSEGV from AddressSanitizer and hide its report.
  exec "$python" -m pytest -p no:cacheprovider -p no:faulthandler -p sanitizer_stack "$@"
fi

# --leaks, in two runs. Every report goes to a file in build/sanitize/leaks
# and is sorted by tools/leak_check.py, which fails on any memory error and
# on any leak allocated through tarnwick's code.
leak_dir="$build/leaks"
rm -rf "$leak_dir"
mkdir -p "$leak_dir/calls" "$leak_dir/tests"
calls="${1:-20000}"
[[ $# -gt 0 ]] && shift

# 1. Many calls of both functions and every argument error (leak_check.py),
# with all Python objects allocated by malloc so that LeakSanitizer tracks
# them too, and the slow unwinder, which follows the frames of the
# interpreter (built without frame pointers) so allocation stacks reach the
# module. Leaks at exit make the exit status non-zero; the line the script
# prints when all calls are done tells a finished run from one that stopped.
echo "== leak check 1: $calls calls of both functions"
set +e
run_output="$(PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=64:log_path=$leak_dir/calls/lsan" \
  UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$leak_dir/calls/ubsan" \
  "$python" "$root/tools/leak_check.py" run "$calls" "$@")"
set -e
echo "$run_output"
if ! grep -q "^leak_check: .* calls over .* texts done" <<<"$run_output"; then
  echo "$0: the leak run stopped early; reports in $leak_dir/calls" >&2
  cat "$leak_dir"/calls/* 2>/dev/null | head -n 60 >&2
  exit 1
fi
LD_PRELOAD= "$python" "$root/tools/leak_check.py" report "$leak_dir/calls" "$module"

# 2. The whole test suite with leak detection at the exit of every process
# (the test processes and the interpreters they start). The interpreter's
# own allocator and fast unwinding keep it about as quick as the run without
# leak detection: leaks of the core's C++ allocations are seen, while Python
# objects are covered by run 1. Exit code 0 for leaks, so that processes
# started by tests finish normally; the reports are judged afterwards.
echo "== leak check 2: the test suite"
ASAN_OPTIONS="detect_leaks=1:log_path=$leak_dir/tests/lsan" \
LSAN_OPTIONS="exitcode=0" \
UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$leak_dir/tests/ubsan" \
  "$python" -m pytest -q -p no:cacheprovider -p no:faulthandler -p sanitizer_stack
LD_PRELOAD= "$python" "$root/tools/leak_check.py" report "$leak_dir/tests" "$module"
