#!/usr/bin/env bash
# scripts/sanitize.sh SANITIZERS [ctest args...]: builds the suites with clang 14 and the
# given sanitizers (address,undefined or thread) and runs them; any finding fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitizers=$1; shift
dir="$root/build-${sanitizers//,/-}"
bash "$root/scripts/setup.sh" test
CC=clang-14 CXX=clang++-14 bash "$root/scripts/build.sh" "$dir" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SANITIZE="$sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cd "$dir"
# ThreadSanitizer cannot map its shadow memory with the kernel's widest address randomisation.
if [[ $sanitizers == *thread* ]] && command -v setarch >/dev/null; then
  setarch "$(uname -m)" -R ctest --output-on-failure -j"$(nproc)" "$@"
else
  ctest --output-on-failure -j"$(nproc)" "$@"
fi
