#!/usr/bin/env bash
# The main job: installs what it needs, builds the two programs (not the test programs) into
# build/bin, and runs the filter host on the bundled example.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" main
bash "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOLVANE_BUILD_TESTS=OFF -- tolvane-filter tolvane
exec bash "$root/examples/run.sh" "$root/build/bin"
