#!/usr/bin/env bash
# examples/run.sh BIN_DIR: runs tolvane-filter on the bundled example: a copy of the example
# directive directory, and the flow trace examples/trace.jsonl. Verdicts go to standard
# output, the filter's log (with the counters) to standard error.
set -euo pipefail
bin=${1:?usage: examples/run.sh BIN_DIR}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
directory=$work/directives  # watched by the filter: nothing else is written there
mkdir "$directory"
cp "$here/directives/enforcement-directive.json" "$directory/"
echo "== directive"
cat "$directory/enforcement-directive.json"
echo
echo "== each event of examples/trace.jsonl, then its verdict"
# Events and verdicts side by side: the trace's comments say what each one shows.
"$bin/tolvane-filter" --directory "$directory" --clock 1000 --show-private \
  < "$here/trace.jsonl" > "$work/verdicts" 2> "$work/log"
grep -v '^\s*$' "$here/trace.jsonl" | grep -v '^# A flow trace\|^# examples/\|^# validation probe' | {
  exec 3< "$work/verdicts"
  while IFS= read -r line; do
    case $line in
      '#'*) printf '\n%s\n' "$line" ;;
      *) IFS= read -r verdict <&3; printf '  %s\n    -> %s\n' "$line" "$verdict" ;;
    esac
  done
}
echo
echo "== the filter's log"
cat "$work/log"
