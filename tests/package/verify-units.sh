#!/usr/bin/env bash
# verify-units.sh UNIT_DIR MAN_DIR WORK: runs `systemd-analyze verify` on every unit in
# UNIT_DIR, with the manual pages of MAN_DIR on the manual path so that Documentation= is
# checked too (when man is there). Any complaint fails, warnings included. Exit 77 when
# systemd-analyze is missing.
set -euo pipefail
units=$1 man=$2 work=$3

command -v systemd-analyze >/dev/null || { echo "systemd-analyze not found: skipped"; exit 77; }
rm -rf "$work"
for page in "$man"/*.[1-9]; do
  [[ -e $page ]] || continue
  mkdir -p "$work/man/man${page##*.}"
  cp "$page" "$work/man/man${page##*.}/"
done

# Documentation= is checked by running man (man-db); without it, only the rest is.
man_check=yes
command -v man >/dev/null || { echo "man not found: Documentation= not checked"; man_check=no; }

status=0
output=$(MANPATH="$work/man" SYSTEMD_LOG_COLOR=0 systemd-analyze verify --man="$man_check" \
  "$units"/*.service 2>&1) || status=$?
printf '%s\n' "$output"
if ((status != 0)) || [[ -n $output ]]; then
  echo "systemd-analyze verify: exit $status" >&2
  exit 1
fi
