#!/usr/bin/env bash
# examples/run.sh BIN_DIR: runs tolvane-filter on the bundled example: a copy of the example
# directive directory, and the flow trace examples/trace.jsonl. Verdicts go to standard
# output, the filter's log (with the counters) to standard error.
set -euo pipefail
bin=${1:?usage: examples/run.sh BIN_DIR}
here=$(cd "$(dirname "$0")" && pwd)
directory=$(mktemp -d)
trap 'rm -rf "$directory"' EXIT
cp "$here/directives/enforcement-directive.json" "$directory/"
echo "== directive: $(cat "$directory/enforcement-directive.json")" >&2
"$bin/tolvane-filter" --directory "$directory" --clock 1000 --show-private < "$here/trace.jsonl"
