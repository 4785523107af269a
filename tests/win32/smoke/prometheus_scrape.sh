#!/bin/sh
# Debian's Prometheus scrapes the program's metrics URL every second until it holds the
# pool's processor use under the worker's process id; then promtool checks the page.
# Started by the service smoke test (under wine) while the service serves.
# Usage: prometheus_scrape.sh URL POOL PID      exits 0 when both hold
set -u
url=$1 pool=$2 pid=$3
for tool in prometheus promtool curl python3; do
  command -v "$tool" >/dev/null || { echo "prometheus scrape: $tool is not installed"; exit 1; }
done
work=$(mktemp -d)
prom=
cleanup() {
  [ -n "$prom" ] && kill "$prom" 2>/dev/null && wait "$prom" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
target=${url#http://}
target=${target%%/*}
path=/${url#http://*/}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/prometheus.yml" <<CONFIG
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: tarnwell
    metrics_path: $path
    static_configs:
      - targets: ['$target']
CONFIG
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$port" >"$work/prometheus.log" 2>&1 &
prom=$!
# Only a fault waits out the deadline.
deadline=$(($(date +%s) + 120))
query="tarnwell_pool_cpu_percent{pool=\"$pool\"}"
while :; do
  answer=$(promtool query instant -o json "http://127.0.0.1:$port" "$query" 2>/dev/null)
  case $answer in *"\"pid\":\"$pid\""*) break ;; esac
  if [ "$(date +%s)" -ge "$deadline" ]; then
    echo "prometheus scrape: $query never came with pid $pid; last answer: $answer"
    tail -n 5 "$work/prometheus.log"
    exit 1
  fi
  sleep 1
done
echo "prometheus scrape: $answer"
curl -sf "$url" >"$work/page" || { echo "prometheus scrape: curl $url failed"; exit 1; }
promtool check metrics <"$work/page" || { echo "prometheus scrape: promtool check metrics refused the page"; exit 1; }
echo "prometheus scrape: promtool check metrics accepts the page"
