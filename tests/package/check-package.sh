#!/usr/bin/env bash
# check-package.sh BUILD_DIR WORK: builds the Debian package from BUILD_DIR with cpack into
# WORK, checks what it holds and how its units name the filter, and runs lintian on it: any
# error (E:) fails. Exit 77 when cpack's DEB tools or lintian are missing.
set -euo pipefail
build=$1 work=$2

for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null || { echo "$tool not found: skipped"; exit 77; }
done
rm -rf "$work"
(cd "$build" && cpack -G DEB -B "$work" >"$work.log" 2>&1) || {
  cat "$work.log"
  echo "cpack failed (are tolvane and tolvane-filter built?)" >&2
  exit 1
}
debs=("$work"/*.deb)
((${#debs[@]} == 1)) || { echo "expected one package, found: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Every file, as ./usr/... paths.
mapfile -t files < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')
printf '%s\n' "${files[@]}"
has() { printf '%s\n' "${files[@]}" | grep -qxF -- "$1"; }
for path in \
  ./usr/bin/tolvane \
  ./usr/sbin/tolvane-filter \
  ./usr/share/tolvane/TolvaneCore_TolvaneCore.bundle/public_suffix_list.dat \
  ./usr/lib/systemd/system/tolvane-filter.service \
  ./usr/lib/systemd/system/tolvane-filter-rules.service \
  ./usr/lib/tmpfiles.d/tolvane-filter.conf \
  ./usr/share/doc/tolvane/copyright \
  ./usr/share/doc/tolvane/changelog.gz; do
  has "$path" || fail "missing $path"
done
# Every manual page and completion of the source tree.
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
for page in "$source_dir"/man/*.[1-9]; do
  [[ -e $page ]] || continue
  name=${page##*/}
  has "./usr/share/man/man${name##*.}/$name.gz" || fail "missing manual page $name"
done
for completion in "$source_dir"/completion/*; do
  [[ -e $completion ]] || continue
  has "./usr/share/bash-completion/completions/${completion##*/}" ||
    fail "missing completion ${completion##*/}"
done
# Nothing for developers: test tools, libraries, headers.
for path in "${files[@]}"; do
  case $path in
    */tolvane-psl-probe | */tolvane-publish-storm | *.a | *.so | *.h | *.hpp | ./usr/include/*)
      fail "developer file $path" ;;
  esac
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ ,$depends, =~ ,\ ?iptables[\ ,] ]] || fail "Depends lacks iptables"
[[ $depends == *libc6* ]] || fail "Depends lacks the computed library dependencies"

# The units name the filter where the package puts it.
dpkg-deb -x "$deb" "$work/root"
grep -qx 'ExecStart=/usr/sbin/tolvane-filter --netfilter' \
  "$work/root/usr/lib/systemd/system/tolvane-filter.service" ||
  fail "tolvane-filter.service does not run /usr/sbin/tolvane-filter --netfilter"
grep -qx 'ExecStart=/usr/sbin/tolvane-filter --netfilter --install-rules' \
  "$work/root/usr/lib/systemd/system/tolvane-filter-rules.service" ||
  fail "tolvane-filter-rules.service does not run /usr/sbin/tolvane-filter --install-rules"

# lintian exits non-zero on errors by itself; the E: lines are what counts.
report=$(lintian --display-info "$deb" 2>&1 || true)
printf '%s\n' "$report"
if grep -q '^E:' <<<"$report"; then fail "lintian reports errors"; fi

((failures == 0)) || exit 1
echo "package: $(stat -c %s "$deb") bytes, ${#files[@]} files"
