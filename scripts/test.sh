#!/usr/bin/env bash
# Sets up, builds everything into build/ and runs every test through CTest: the GoogleTest
# suites and the documentation's sessions.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" test
bash "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_BUILD_TESTS=ON
cd "$root/build"
ctest --output-on-failure -j"$(nproc)"
