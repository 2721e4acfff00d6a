#!/usr/bin/env bash
# Fleet backup benchmark: 50 simulated servers on loopback, backed up by vyxctl one by one and then
# eight at a time. Each simulator delays its answers by a few milliseconds, as a site behind a real
# network link does; the parallel run must be at least 4x faster and bring the same files.
# Usage: bench_fleet.sh VYXSIM VYXCTL [SITES] [DELAY_MS]. Ends with one RESULT line.
set -uo pipefail
VYXSIM=${1:?path of vyxsim}
VYXCTL=${2:?path of vyxctl}
SITES=${3:-50}
DELAY=${4:-20}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vyxbenchfleet.XXXXXX")
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

for ((i = 0; i < SITES; i++)); do
  # Databases of different sizes, so that every site's copy is its own.
  "$VYXSIM" --port 0 --root "$WORK/site$i" --no-discovery --quiet --slow "$DELAY" \
    --db-size $((262144 + i * 4096)) >"$WORK/site$i.out" 2>/dev/null &
  PIDS+=($!)
done
{
  printf '{"sites": ['
  for ((i = 0; i < SITES; i++)); do
    port=""
    for _ in $(seq 1 400); do
      read -r word port <"$WORK/site$i.out" 2>/dev/null && [[ "$word" == LISTENING && -n "$port" ]] && break
      port=""
      sleep 0.05
    done
    [[ -n "$port" ]] || { echo "simulator $i did not start" >&2; exit 1; }
    printf '%s{"name": "site%d", "host": "127.0.0.1", "port": %s}' "$([[ $i == 0 ]] || echo ', ')" "$i" "$port"
  done
  printf ']}\n'
} >"$WORK/sites.json"

run() { # run PARALLEL VAULT: prints the seconds taken
  local start end
  start=$(date +%s.%N)
  "$VYXCTL" -t 30 fleet backup --sites "$WORK/sites.json" --vault "$2" --parallel "$1" >"$2.out" 2>&1 ||
    { echo "fleet backup --parallel $1 failed:" >&2; tail -n 3 "$2.out" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

# The same set of (site folder, MD5) pairs from both runs.
digests() { (cd "$1" && for f in */*.db; do echo "${f%%/*} $(md5sum <"$f" | cut -d' ' -f1)"; done | sort); }

serial=$(run 1 "$WORK/serial")
parallel=$(run 8 "$WORK/parallel")
[[ "$(digests "$WORK/serial")" == "$(digests "$WORK/parallel")" ]] || { echo "the two runs brought different files" >&2; exit 1; }
[[ $(digests "$WORK/serial" | wc -l) == "$SITES" ]] || { echo "not every site was backed up" >&2; exit 1; }
speedup=$(awk -v s="$serial" -v p="$parallel" 'BEGIN { printf "%.2f", s / p }')
printf 'sites %d, answer delay %d ms: one by one %.2f s, --parallel 8 %.2f s, same files\n' "$SITES" "$DELAY" "$serial" "$parallel"
printf 'RESULT fleet_parallel8_speedup %.2f goal >= 4\n' "$speedup"
