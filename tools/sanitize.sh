#!/usr/bin/env bash
# Runs the extension under the sanitizers.
#
#   tools/sanitize.sh [pytest arguments...]   the whole test suite against a
#                                             build with AddressSanitizer and
#                                             UndefinedBehaviorSanitizer
#   tools/sanitize.sh --leaks [CALLS [--plant-leak]]
#                                             LeakSanitizer over many calls of
#                                             both functions (tools/leak_check.py;
#                                             --plant-leak leaks a result on purpose
#                                             to show that the check catches it)
#
# The module is built with g++ and TARNWICK_SANITIZE=ON in build/sanitize and
# loaded into the ordinary python through LD_PRELOAD of g++'s libasan and
# libubsan (the interpreter itself is not instrumented). Leak detection is off
# for the test suite, since CPython does not free everything at exit; the
# --leaks mode instead lets LeakSanitizer report at exit and fails only on
# leaks whose allocation stack runs through tarnwick's own code.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/sanitize"
python="${PYTHON:-python3}"

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
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" --target tarnwick -j 2 >/dev/null
module="$(find "$build" -maxdepth 1 -name 'tarnwick*.so' | head -n 1)"
if [[ -z "$module" ]]; then
  echo "$0: the build left no tarnwick module in $build" >&2
  exit 1
fi
if ! grep -q __asan_init < <(nm -D "$module"); then
  echo "$0: $module is not built with AddressSanitizer" >&2
  exit 1
fi

export LD_PRELOAD="$libasan $libubsan${LD_PRELOAD:+ $LD_PRELOAD}"
# The command-line package comes from the source tree.
export PYTHONPATH="$build:$root/src${PYTHONPATH:+:$PYTHONPATH}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
cd "$root"

if [[ $mode == tests ]]; then
  export ASAN_OPTIONS="detect_leaks=0"
  # AddressSanitizer's red zones make every stack frame several times larger,
  # so a recursion that fits a 512 KiB thread in the normal build overflows it
  # here. Thread stack sizes that tests ask for are multiplied by 4 (the
  # small-stack property itself is checked by the normal build).
  cat >"$build/sanitizer_stack.py" <<'PLUGIN'
import threading

_stack_size = threading.stack_size


def _scaled(size=0):
    return _stack_size(size * 4) // 4


threading.stack_size = _scaled
PLUGIN
  # The import must find the sanitizer build, not an installed copy.
  "$python" -c "import tarnwick, sys; sys.exit(0 if tarnwick.__file__.startswith('$build') else 'tarnwick imported from ' + tarnwick.__file__)"
  exec "$python" -m pytest -p no:cacheprovider -p sanitizer_stack "$@"
fi

# --leaks: all allocations through malloc, so that LeakSanitizer sees every
# object; the report is written to a file and sorted by tools/leak_check.py.
report_dir="$build/leaks"
rm -rf "$report_dir"
mkdir -p "$report_dir"
export PYTHONMALLOC=malloc
export LSAN_OPTIONS="report_objects=0:max_leaks=0"
export ASAN_OPTIONS="detect_leaks=1:leak_check_at_exit=1:log_path=$report_dir/lsan"
calls="${1:-20000}"
[[ $# -gt 0 ]] && shift
# Leaks at exit make the exit status non-zero; the line the script prints when
# all calls are done tells a finished run from one that stopped early.
set +e
run_output="$("$python" "$root/tools/leak_check.py" run "$calls" "$@")"
set -e
echo "$run_output"
unset LD_PRELOAD PYTHONMALLOC ASAN_OPTIONS LSAN_OPTIONS
if ! grep -q "^leak_check: .* calls over .* texts done" <<<"$run_output"; then
  echo "$0: the leak run stopped early; reports in $report_dir" >&2
  cat "$report_dir"/lsan* 2>/dev/null | head -n 60 >&2
  exit 1
fi
exec "$python" "$root/tools/leak_check.py" report "$report_dir" "$module"
