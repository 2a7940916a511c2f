#!/usr/bin/env bash
# Installs what the build needs on Debian 12, only when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  clang-14 libclang-rt-14-dev            # sanitizers and libFuzzer
  clang-format-14                        # the format check in CI
  libicu-dev nlohmann-json3-dev publicsuffix
  libssl-dev                             # QUIC Initial keys and ciphers
  python3 openssl dnsmasq-base           # real TLS and DNS bytes in the wire tests
  googletest libgtest-dev libbenchmark-dev
  libpsl-dev                             # the suffix benchmark's point of comparison
  libnetfilter-queue-dev libmnl-dev libnetfilter-conntrack-dev iptables   # enforcing for real
  conntrack curl iproute2 chromium       # the network laboratory's tools and clients
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
