#!/usr/bin/env bash
# Fails when a C++ file differs from what clang-format-14 makes of it, naming each one.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
status=0
while IFS= read -r f; do
  if ! clang-format-14 --style=file "$f" | cmp -s - "$f"; then
    echo "check-format: $f is not formatted (clang-format-14 -i $f)" >&2
    status=1
  fi
done < <(git ls-files '*.cpp' '*.hpp' '*.h')
exit $status
