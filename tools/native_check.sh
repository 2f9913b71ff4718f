#!/usr/bin/env bash
# Builds the core and its native tests (tests/native/core_tests.cpp) with
# another compiler, standard library or system, and runs them.
#
#   tools/native_check.sh [VARIANT...]        (default: all of them)
#
#   gcc        g++ and libstdc++: the core as the module has it
#   clang      clang++ with LLVM's libc++ (Debian: clang libc++-dev libc++abi-dev)
#   fallback   g++ with TARNWICK_PORTABLE_FALLBACK: no stack switch, stores
#              from operator new (see src/core/util/platform.h)
#   windows    cross-built for 64-bit Windows by mingw-w64's g++ (Debian:
#              g++-mingw-w64-x86-64-posix) with cmake/mingw-w64-x86_64.cmake,
#              and run under wine (Debian: wine64): the fiber variant, then the
#              fallback
#
# All are Release builds, as the stack budget per nesting level is measured
# for optimised code. Each variant builds in build/check-VARIANT (kept between
# runs); wine keeps its prefix in build/check-wine. Every run prints its
# "N passed, N failed" line; the exit status is non-zero when a variant
# failed or could not be built, and 2 when a tool it needs is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$root/build"
variants=("$@")
[[ ${#variants[@]} -gt 0 ]] || variants=(gcc clang fallback windows)

need() {
  if ! command -v "$1" >/dev/null; then
    echo "$0: $1 not found; install $2" >&2
    exit 2
  fi
}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# build NAME CMAKE-ARGS...: configures and builds core_tests in build/check-NAME.
build() {
  local name="$1"
  shift
  local dir="$root/build/check-$name"
  local fresh=()
  [[ -e "$dir/CMakeCache.txt" ]] || fresh=("${generator[@]}")
  cmake -S "$root" -B "$dir" "${fresh[@]}" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_MODULE=OFF \
    -DTARNWICK_BUILD_NATIVE_TESTS=ON "$@" >"$dir.log" 2>&1 ||
    { cat "$dir.log" >&2; return 1; }
  cmake --build "$dir" --target core_tests -j 2 >>"$dir.log" 2>&1 || { tail -n 60 "$dir.log" >&2; return 1; }
}

# run NAME COMMAND...: runs core_tests, shows its failures and summary line,
# and fails unless it ended well.
run() {
  local name="$1"
  shift
  local out status=0
  out="$("$@" 2>&1 | tr -d '\r')" || status=$?
  grep -E "^(FAIL|  )" <<<"$out" | head -n 40 || true
  local summary
  summary="$(grep -E "^[0-9]+ passed, [0-9]+ failed$" <<<"$out" | tail -n 1)"
  local variant
  variant="$(sed -n 's/^platform variant: //p' <<<"$out")"
  echo "$name (${variant:-?}): ${summary:-no summary line, exit status $status}"
  [[ $status -eq 0 && "$summary" == *" 0 failed" ]]
}

failed=0
for variant in "${variants[@]}"; do
  start=$SECONDS
  case "$variant" in
    gcc)
      need g++ "g++"
      build gcc -DCMAKE_CXX_COMPILER=g++ && run gcc "$root/build/check-gcc/core_tests" || failed=1
      ;;
    clang)
      need clang++ "clang, libc++-dev and libc++abi-dev"
      build clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ &&
        run clang "$root/build/check-clang/core_tests" || failed=1
      ;;
    fallback)
      need g++ "g++"
      build fallback -DCMAKE_CXX_COMPILER=g++ -DTARNWICK_PORTABLE_FALLBACK=ON &&
        run fallback "$root/build/check-fallback/core_tests" || failed=1
      ;;
    windows)
      need x86_64-w64-mingw32-g++-posix "g++-mingw-w64-x86-64-posix"
      wine=/usr/lib/wine/wine64  # Debian's; the wine wrapper also looks for a 32-bit wine
      [[ -x "$wine" ]] || { need wine "wine64"; wine="$(command -v wine)"; }
      export WINEPREFIX="$root/build/check-wine" WINEDEBUG=-all
      for flavour in windows windows-fallback; do
        fallback=OFF
        [[ $flavour == windows-fallback ]] && fallback=ON
        build "$flavour" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
          -DTARNWICK_PORTABLE_FALLBACK=$fallback &&
          run "$flavour" "$wine" "$root/build/check-$flavour/core_tests.exe" || failed=1
      done
      ;;
    *)
      echo "usage: $0 [gcc|clang|fallback|windows]..." >&2
      exit 2
      ;;
  esac
  echo "   $variant: $((SECONDS - start)) s"
done
exit $failed
