#!/usr/bin/env bash
# The main job: sets up, builds, and runs the filter host on the bundled example.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec bash "$root/examples/run.sh" "$root/build/bin"
