#!/usr/bin/env bash
# scripts/build.sh DIR [cmake options...] [-- targets...]: configures DIR with the options
# (again at every run, so a directory switched between jobs builds what this one asks for)
# and builds the targets, or everything, showing ninja's progress.
set -euo pipefail
dir=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
options=()
while (($#)) && [ "$1" != -- ]; do options+=("$1"); shift; done
(($#)) && shift
echo "build: configuring $dir" >&2
cmake -S "$root" -B "$dir" -G Ninja "${options[@]}" >/dev/null
echo "build: building ${*:-everything} in $dir" >&2
ninja -C "$dir" -j"$(nproc)" "$@"
