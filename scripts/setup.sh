#!/usr/bin/env bash
# scripts/setup.sh [PROFILE...]: installs what a job needs on Debian 12, only when something
# is missing. Profiles:
#   main   build the programs and run the main job
#   test   main, plus GoogleTest, the docs runner, clang 14 for the sanitizers, the format
#          check and the network laboratory's tools: everything .ci/run needs
#   bench  main, plus Google Benchmark, libpsl and the netfilter laboratory's tools
#   fuzz   main, plus clang 14 and its runtime for libFuzzer
# Without a profile: all of them.
set -euo pipefail

main=(
  cmake ninja-build g++ pkg-config
  libicu-dev nlohmann-json3-dev publicsuffix
  libssl-dev                             # QUIC Initial keys and ciphers
  libnetfilter-queue-dev libmnl-dev libnetfilter-conntrack-dev   # configured with every build
  libsystemd-dev                         # the filter host's readiness, watchdog and journal
)
clang=(clang-14 libclang-rt-14-dev)      # sanitizers and libFuzzer: the runtime is only a Recommends
test=(
  "${main[@]}" "${clang[@]}"
  googletest libgtest-dev
  clang-format-14                        # the format check in CI
  python3 openssl dnsmasq-base           # real TLS and DNS bytes in the wire tests; the docs runner
  iptables conntrack curl iproute2 chromium   # the network laboratory's tools and clients
  lintian dpkg-dev systemd man-db        # the package, unit and manual page checks
)
bench=(
  "${main[@]}" googletest libgtest-dev libbenchmark-dev
  libpsl-dev                             # the suffix benchmark's point of comparison
  iptables conntrack iproute2 python3    # the netfilter laboratory benchmark
)
fuzz=("${main[@]}" "${clang[@]}")

profiles=("$@")
((${#profiles[@]})) || profiles=(test bench fuzz)
packages=()
for profile in "${profiles[@]}"; do
  case $profile in
    main) packages+=("${main[@]}") ;;
    test) packages+=("${test[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    *) echo "setup: unknown profile $profile (main, test, bench or fuzz)" >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # Downloads and installs one line each, so a long install shows its progress.
  apt-get install -y -q --no-install-recommends "${missing[@]}" |
    { grep --line-buffered -E '^(Get:|Setting up )' || true; }
fi
