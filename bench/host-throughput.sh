#!/usr/bin/env bash
# bench/host-throughput.sh BIN_DIR [EVENTS]: the whole filter host on a generated trace of
# EVENTS platform events (default 1,000,000): events per second and peak memory.
# A quarter of new flows are named under one of 10,000 blocked domains, a quarter named
# elsewhere, a quarter carry only an address remembered with a blocked name, and a quarter carry no evidence and
# are held, then fed 4096 outbound bytes in two chunks.
set -euo pipefail
bin=${1:?usage: bench/host-throughput.sh BIN_DIR [EVENTS]}
events=${2:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/directives"  # watched: nothing else may be written there

awk 'BEGIN {
  printf "{\"scope\":{\"generation\":1,\"domains\":["
  for (i = 0; i < 10000; i++) printf "%s\"blocked%d.example\"", (i ? "," : ""), i
  printf "]},\"publishedAt\":0}"
}' > "$work/directives/enforcement-directive.json"

awk -v total="$events" 'BEGIN {
  n = 0; flow = 0
  while (n < total) {
    flow++; k = flow % 4; a = flow % 2000
    ip = sprintf("10.%d.%d.%d", int(a / 65536) % 256, int(a / 256) % 256, a % 256)
    t = sprintf("%.3f", flow / 1000.0)
    if (k == 0) {
      printf "{\"event\":\"newFlow\",\"flow\":%d,\"at\":%s,\"remoteHostname\":\"www.blocked%d.example\",\"remoteEndpoint\":{\"ipv4\":\"%s\",\"port\":443}}\n", flow, t, flow % 10000, ip; n++
    } else if (k == 1) {
      printf "{\"event\":\"newFlow\",\"flow\":%d,\"at\":%s,\"remoteHostname\":\"cdn%d.elsewhere.test\",\"remoteEndpoint\":{\"ipv4\":\"%s\",\"port\":443}}\n", flow, t, flow, ip; n++
    } else if (k == 2) {
      # the address of the blocked flow two before this one
      b = (flow - 2) % 2000
      ip = sprintf("10.%d.%d.%d", int(b / 65536) % 256, int(b / 256) % 256, b % 256)
      printf "{\"event\":\"newFlow\",\"flow\":%d,\"at\":%s,\"remoteEndpoint\":{\"ipv4\":\"%s\",\"port\":443}}\n", flow, t, ip; n++
    } else {
      printf "{\"event\":\"newFlow\",\"flow\":%d,\"at\":%s,\"remoteEndpoint\":{\"ipv6\":\"2001:db8::%x:%x\",\"port\":443}}\n", flow, t, int(flow / 65536), flow % 65536
      printf "{\"event\":\"outboundData\",\"flow\":%d,\"offset\":0,\"length\":2048}\n", flow
      printf "{\"event\":\"outboundData\",\"flow\":%d,\"offset\":2048,\"length\":2048}\n", flow
      n += 3
    }
  }
}' > "$work/trace.jsonl"

lines=$(wc -l < "$work/trace.jsonl")
start=$(date +%s.%N)
# GNU time (Debian package "time") reports the peak resident memory.
timer=(/usr/bin/time -f "%M" -o "$work/rss")
[ -x /usr/bin/time ] || { timer=(); echo 0 > "$work/rss"; echo "(install the time package for peak memory)" >&2; }
"${timer[@]}" "$bin/tolvane-filter" --directory "$work/directives" --clock 0 \
  < "$work/trace.jsonl" > "$work/verdicts.jsonl" 2> "$work/log"
end=$(date +%s.%N)
verdicts=$(wc -l < "$work/verdicts.jsonl")
awk -v n="$lines" -v v="$verdicts" -v s="$start" -v e="$end" -v rss="$(tail -1 "$work/rss")" 'BEGIN {
  printf "%d events, %d verdicts in %.2f s: %.0f events/s; peak resident memory %.1f MiB\n", n, v, e - s, n / (e - s), rss / 1024
}'
tail -1 "$work/log"
