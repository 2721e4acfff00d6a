#!/usr/bin/env bash
# End-to-end tests of vyxctl against vyxsim: real processes on loopback (discovery only inside a
# network namespace made here). Usage: tools_e2e.sh CASE; VYXSIM and VYXCTL name the programs.
set -uo pipefail

CASE=${1:?case name}
: "${VYXSIM:?path of vyxsim}" "${VYXCTL:?path of vyxctl}"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vyxtools.XXXXXX")
SIM_PID=""
PORT=""
SIM_LOG=""
SIM_COUNT=0

FLEET_PIDS=()

cleanup() {
  if [[ -n "$SIM_PID" ]]; then kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; fi
  local p
  for p in "${FLEET_PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL [$CASE]: $*" >&2
  if [[ -n "$SIM_LOG" && -f "$SIM_LOG" ]]; then
    echo "--- simulator log (last lines) ---" >&2
    tail -n 30 "$SIM_LOG" >&2
  fi
  exit 1
}

# What this machine cannot offer skips the case (77); on CI (CI=true) it fails, so that a green
# run always includes it.
skip() {
  echo "SKIP: $*"
  [[ "${CI:-}" == true ]] && fail "CI=true: this case must run, not skip"
  exit 77
}

# start_sim [vyxsim options...]: a fresh simulator on a free port with its own sandbox.
start_sim() {
  stop_sim
  SIM_COUNT=$((SIM_COUNT + 1))
  SIM_LOG="$WORK/sim$SIM_COUNT.log"
  local out="$WORK/sim$SIM_COUNT.out"
  "$VYXSIM" --port 0 --root "$WORK/root" --no-discovery "$@" >"$out" 2>"$SIM_LOG" &
  SIM_PID=$!
  local i
  for i in $(seq 1 200); do
    if read -r word PORT <"$out" 2>/dev/null && [[ "$word" == LISTENING && -n "$PORT" ]]; then
      return 0
    fi
    kill -0 "$SIM_PID" 2>/dev/null || fail "vyxsim did not start: $(cat "$SIM_LOG")"
    sleep 0.05
  done
  fail "vyxsim did not report its port"
}

# stop_sim: SIGTERM must end the simulator cleanly (exit 0, and no sanitizer report).
stop_sim() {
  if [[ -n "$SIM_PID" ]]; then
    kill "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
    local rc=$?
    SIM_PID=""
    [[ $rc == 0 ]] || fail "vyxsim exited $rc after SIGTERM"
  fi
}

# ctl ARGS...: vyxctl against the running simulator; stdout in $OUT, stderr in $ERR, exit in $RC.
ctl() {
  "$VYXCTL" -p "$PORT" -t "${CTL_TIMEOUT:-10}" "$@" >"$WORK/ctl.out" 2>"$WORK/ctl.err"
  RC=$?
  OUT=$(cat "$WORK/ctl.out")
  ERR=$(cat "$WORK/ctl.err")
}

# expect RC ARGS...: runs ctl and checks its exit code.
expect() {
  local want=$1
  shift
  ctl "$@"
  [[ "$RC" == "$want" ]] || fail "vyxctl $* exited $RC, expected $want; stdout: $OUT; stderr: $ERR"
}

contains() { [[ "$1" == *"$2"* ]] || fail "expected \"$2\" in: $1"; }

# wait_log PATTERN [LINE]: waits for PATTERN in the simulator's log, in lines after LINE (from
# log_lines) when given, so that a line an earlier client left never stands in for a new one.
log_lines() { wc -l <"$SIM_LOG"; }

wait_log() {
  local pattern=$1 after=${2:-0} i
  for i in $(seq 1 300); do
    tail -n +$((after + 1)) "$SIM_LOG" 2>/dev/null | grep -q -- "$pattern" && return 0
    sleep 0.05
  done
  fail "simulator never logged \"$pattern\""
}

md5() { md5sum "$1" | cut -d' ' -f1; }

make_file() { head -c "$2" /dev/urandom >"$1"; }

# ---- cases ------------------------------------------------------------------------------------

case_queries() {
  start_sim
  expect 0 ping
  contains "$OUT" "monitor client id"
  expect 0 --json ping
  contains "$OUT" '"version":"vyxsim'
  expect 0 params
  local count
  count=$(grep -c . <<<"$OUT")
  ((count >= 40)) || fail "only $count parameters"
  contains "$OUT" $'999997\tstring'
  contains "$OUT" $'100201\tfloat'
  contains "$OUT" $'100301\tuint'
  contains "$OUT" $'100401\tulong'
  expect 0 --json params
  [[ $(grep -c '^{"id":' <<<"$OUT") == "$count" ]] || fail "JSON lines differ from the text lines"
  expect 0 get 100501
  [[ "$OUT" == Kitchen ]] || fail "get 100501 gave $OUT"
  expect 1 get 4242
  contains "$ERR" "no parameter 4242"
  expect 2 get notanumber
  expect 2 frobnicate
  expect 2 set 100001 byte 300
  expect 2 set 100001 Float 1
  # Identifiers are 20-bit numbers: those from 1000000 up are parameters like any other.
  cat >"$WORK/params.json" <<'JSON'
[{"id": 42, "type": "byte", "value": 7}, {"id": 1000000, "type": "uint", "value": 5},
 {"id": 1048575, "type": "string", "value": "top"}]
JSON
  start_sim --params "$WORK/params.json"
  CTL_TIMEOUT=5 expect 0 params
  contains "$OUT" $'1000000\tuint\t5'
  contains "$OUT" $'1048575\tstring\ttop'
  contains "$OUT" $'42\tbyte\t7'
  [[ $(grep -c . <<<"$OUT") == 3 ]] || fail "params listed: $OUT"
  # The server closes the connection after every fourth command frame, so each connection
  # brings only a few values: a repeated list keeps the values already received and asks only
  # for the missing ones, so the listing still completes.
  cat >"$WORK/six.json" <<'JSON'
[{"id": 1, "type": "byte", "value": 1}, {"id": 2, "type": "byte", "value": 2}, {"id": 3, "type": "byte", "value": 3},
 {"id": 4, "type": "byte", "value": 4}, {"id": 5, "type": "byte", "value": 5}, {"id": 6, "type": "byte", "value": 6}]
JSON
  start_sim --params "$WORK/six.json" --close-after 4
  CTL_TIMEOUT=10 expect 0 params
  [[ $(grep -c . <<<"$OUT") == 6 ]] || fail "params over a closing server listed: $OUT"
  contains "$ERR" "connection rebuilt"
}

case_writes() {
  start_sim
  local t
  for t in "100001 byte 1 1" "100301 uint 4000000000 4000000000" "100201 float 22.25 22.25" \
           "100502 string Wine_cellar Wine_cellar" "100201 string 18.5 18.5"; do
    read -r id type value shown <<<"$t"
    expect 0 set "$id" "$type" "$value"
    contains "$OUT" "$id = $shown"
    expect 0 get "$id"
    [[ "$OUT" == "$shown" ]] || fail "get $id after set gave $OUT, expected $shown"
  done
  # A write reaches every other client with its kind. The commands above paired monitors too: only
  # the watcher's own pairing says it listens.
  local before
  before=$(log_lines)
  "$VYXCTL" -p "$PORT" watch --seconds 4 >"$WORK/watch.out" 2>/dev/null &
  local watcher=$!
  wait_log "paired with monitor" "$before"
  expect 0 set 100003 byte 1
  expect 0 broadcast "hello|from vyxctl"
  wait "$watcher"
  contains "$(cat "$WORK/watch.out")" $'100003\twrite\tbyte\t1'
  contains "$(cat "$WORK/watch.out")" $'broadcast\twrite\tstring\thello|from vyxctl'
  CTL_TIMEOUT=2 expect 1 set 4242 byte 1
}

case_watch() {
  start_sim --live
  expect 0 watch --seconds 3 --bus --log
  contains "$OUT" $'100002\tphysical\tbyte'
  contains "$OUT" $'100201\tphysical\tfloat'
  contains "$OUT" $'zephron\twrite\tdata\tbus: '
  contains "$OUT" $'log\twrite\tstring\t<message level="1"><![CDATA[{"sender":"vyxsim","paramId":"100201","msg":"temperature '
  expect 0 --json watch --seconds 2
  contains "$OUT" '"kind":"physical"'
  expect 2 watch --minutes 2
}

case_commands() {
  start_sim
  expect 0 exec echo hello world
  [[ "$OUT" == "hello world" ]] || fail "echo gave $OUT"
  expect 0 exec 'kill $(pidof mono)'
  expect 0 exec chown vyxweb:vyxweb logic/ -R
  expect 0 exec /nalrio/bin/nalrio_guardian status
  contains "$OUT" "guardian"
  expect 0 exec /home/nalrio/bin/knxd.sh start 15.15.250 15.15.251:2
  contains "$OUT" "knxd started"
  expect 0 exec /home/nalrio/bin/knxd.sh stop
  contains "$OUT" "knxd stopped"
  expect 1 exec rm plugin.tar.gz
  # Nothing reaches a shell: unknown commands and shell syntax are "not available".
  local marker="$WORK/should-not-exist"
  expect 1 exec "touch $marker"
  contains "$OUT" "touch: not available in the simulator"
  expect 1 exec "sh -c 'touch $marker'"
  [[ ! -e "$marker" ]] || fail "a command line was run by a shell"
  expect 0 --json exec echo '$(touch' "$marker)"
  contains "$OUT" '"err":0'
  [[ ! -e "$marker" ]] || fail "echo expanded a command substitution"
  # Plug-in steps inside the sandbox.
  make_file "$WORK/plugin.tar.gz" 5000
  expect 0 put "$WORK/plugin.tar.gz" plugin.tar.gz
  expect 0 exec tar -xzf plugin.tar.gz -C logic
  expect 0 exec ls
  contains "$OUT" "logic/"
  contains "$OUT" "plugin.tar.gz"
  expect 0 exec rm plugin.tar.gz
  expect 1 md5 plugin.tar.gz
  # Zephron text command and the raw bus switch.
  CTL_TIMEOUT=2 expect 0 zephron status
  contains "$OUT" "bus ok"
  expect 0 bus-debug on
  [[ "$OUT" == "bus debug on" ]] || fail "bus-debug on gave $OUT"
  expect 0 bus-debug off
  expect 2 bus-debug maybe
}

case_files() {
  start_sim
  expect 0 mkdir a/b/c
  [[ -d "$WORK/root/files/a/b/c" ]] || fail "mkdir did not create the folder"
  local size
  for size in 0 131072 300000; do
    make_file "$WORK/f$size" "$size"
    expect 0 put "$WORK/f$size" "a/b/f$size"
    cmp -s "$WORK/f$size" "$WORK/root/files/a/b/f$size" || fail "put of $size bytes differs on the server"
    expect 0 md5 "a/b/f$size"
    [[ "$OUT" == "$(md5 "$WORK/f$size")" ]] || fail "md5 of $size bytes: $OUT"
  done
  expect 0 rm a/b/f0
  [[ ! -e "$WORK/root/files/a/b/f0" ]] || fail "rm left the file"
  expect 1 rm a/b/f0
  expect 0 rmdir a
  [[ ! -e "$WORK/root/files/a" ]] || fail "rmdir left the folder"
  expect 1 put "$WORK/missing" x
  expect 2 put "$WORK/f0" "$(printf 'x%.0s' $(seq 1 300))"
}

case_paths() {
  start_sim
  mkdir -p "$WORK/outside"
  echo secret >"$WORK/outside/secret.txt"
  local rel="../../outside"
  expect 1 mkdir ../escape
  contains "$ERR" "leaves the server folder"
  expect 1 mkdir /tmp/escape-abs
  contains "$ERR" "absolute"
  expect 1 rm "$rel/secret.txt"
  [[ -f "$WORK/outside/secret.txt" ]] || fail "a file outside the sandbox was removed"
  expect 1 rmdir ..
  expect 1 rmdir .
  expect 1 md5 "$rel/secret.txt"
  expect 1 exec cat "$rel/secret.txt"
  contains "$OUT" "leaves the server folder"
  make_file "$WORK/f" 10
  expect 1 put "$WORK/f" "../../escaped"
  [[ ! -e "$WORK/escaped" && ! -e "$WORK/root/escaped" ]] || fail "put wrote outside the sandbox"
  # A link inside the tree does not lead out of it either.
  ln -s "$WORK/outside" "$WORK/root/files/link"
  expect 1 mkdir link/sub
  expect 1 rm link/secret.txt
  [[ -f "$WORK/outside/secret.txt" && ! -e "$WORK/outside/sub" ]] || fail "a link led out of the sandbox"
  # The dot-dot that stays inside is fine.
  expect 0 mkdir x/../y
  [[ -d "$WORK/root/files/y" ]] || fail "x/../y was not created as y"
}

case_transfer() {
  start_sim --db-size 65536
  make_file "$WORK/big.db" $((20 * 1024 * 1024))
  CTL_TIMEOUT=60 expect 0 upload "$WORK/big.db"
  contains "$OUT" "uploaded 20971520 bytes"
  cmp -s "$WORK/big.db" "$WORK/root/config/vyx.db" || fail "the server's database differs from the upload"
  expect 0 db-md5
  [[ "$OUT" == "$(md5 "$WORK/big.db")" ]] || fail "db-md5 after upload: $OUT"
  CTL_TIMEOUT=60 expect 0 --json upload "$WORK/big.db"
  contains "$OUT" '"skipped":true'
  CTL_TIMEOUT=60 expect 0 download "$WORK/copy.db"
  [[ "$(md5 "$WORK/copy.db")" == "$(md5 "$WORK/big.db")" ]] || fail "download differs from the upload"
  ls "$WORK"/copy.db.part-* >/dev/null 2>&1 && fail "download left a partial file"
  : >"$WORK/empty.db"
  expect 1 upload "$WORK/empty.db"
  expect 1 upload "$WORK/missing.db"
}

case_download_faults() {
  local value text
  for value in 2 3 4; do
    start_sim --download-fail "$value"
    echo keep >"$WORK/local.db"
    expect 1 download "$WORK/local.db"
    case $value in
      2) text="No resources available" ;;
      3) text="Error reading the server configuration file" ;;
      4) text="server is shutdown" ;;
    esac
    contains "$ERR" "$text"
    [[ "$(cat "$WORK/local.db")" == keep ]] || fail "a failed download changed the local file"
  done
}

case_killed_download() {
  start_sim --db-size $((8 * 1024 * 1024)) --stall-download 1048576
  echo "previous copy" >"$WORK/local.db"
  "$VYXCTL" -p "$PORT" -t 30 download "$WORK/local.db" >"$WORK/dl.out" 2>"$WORK/dl.err" &
  local client=$!
  wait_log "download stalled"
  kill -9 "$SIM_PID"
  wait "$SIM_PID" 2>/dev/null
  SIM_PID=""
  wait "$client"
  local rc=$?
  [[ $rc == 1 ]] || fail "download from a killed server exited $rc: $(cat "$WORK/dl.err")"
  contains "$(cat "$WORK/dl.err")" "connection lost"
  [[ "$(cat "$WORK/local.db")" == "previous copy" ]] || fail "the existing local file was changed"
  ls "$WORK"/local.db.part-* >/dev/null 2>&1 && fail "a partial file was left"
  return 0
}

case_stalled_download() {
  # The server announces the download and then sends nothing more for it: the client ends the
  # download itself, says why, and leaves the local file alone.
  start_sim --db-size 65536 --stall-download 0
  echo "previous copy" >"$WORK/local.db"
  CTL_TIMEOUT=2 expect 1 download "$WORK/local.db"
  contains "$ERR" "no answer from the server for 2.0 s"
  wait_log "download stalled after 0 bytes"
  [[ "$(cat "$WORK/local.db")" == "previous copy" ]] || fail "the existing local file was changed"
  ls "$WORK"/local.db.part* >/dev/null 2>&1 && fail "a partial file was left"
  return 0
}

case_login() {
  start_sim --user alice --password 's3cret|x'
  expect 3 -u alice -P wrong ping
  contains "$ERR" "authentication failed"
  expect 3 ping
  VYX_USER=alice VYX_PASSWORD='s3cret|x' expect 0 ping
  expect 0 -u alice -P 's3cret|x' ping
  printf 'bob:pw\n# comment\ncarol:\n' >"$WORK/users"
  start_sim --users "$WORK/users"
  expect 0 -u bob -P pw ping
  expect 0 -u carol -P '' ping
  expect 3 -u alice -P 's3cret|x' ping
  start_sim --refuse-login
  expect 3 ping
  contains "$ERR" "authentication failed"
  start_sim --report-full
  expect 3 ping
  contains "$ERR" "client limit"
  # A real limit: one client holds the only place.
  start_sim --max-clients 1
  "$VYXCTL" -p "$PORT" watch --seconds 10 >/dev/null 2>&1 &
  local holder=$!
  wait_log "paired with monitor"
  expect 3 ping
  contains "$ERR" "client limit"
  kill "$holder"
  wait "$holder" 2>/dev/null
  wait_log "#1 .*disconnected"
  wait_log "#2 .*disconnected"
  expect 0 ping
  # Nobody listening.
  stop_sim
  CTL_TIMEOUT=2 expect 3 ping
}

case_silent_server() {
  # The first answer comes, then the server says nothing more on that connection: the heartbeat
  # notices the silence, rebuilds both channels, and the repeated query is answered.
  start_sim --silent-after 1
  CTL_TIMEOUT=30 expect 0 --heartbeat 500 ping
  contains "$ERR" "connection rebuilt"
  grep -q "going silent" "$SIM_LOG" || fail "the simulator never went silent"
  [[ $(grep -c "logged in" "$SIM_LOG") -ge 4 ]] || fail "no second login after the silence"
}

case_faults() {
  start_sim --slow 300
  expect 0 ping
  start_sim --close-after 1
  expect 0 get 100001
  CTL_TIMEOUT=3 expect 1 ping
  start_sim --corrupt-every 1
  CTL_TIMEOUT=2 expect 1 get 100001
  start_sim --huge-length
  CTL_TIMEOUT=5 expect 1 get 100501
  # The simulator itself survives garbage and huge announced lengths from a client.
  start_sim
  exec 3<>"/dev/tcp/127.0.0.1/$PORT"
  printf '\x01\xd0\x24\xf4\xff\xff\xff\x7f\x00garbage' >&3
  exec 3<&- 3>&-
  exec 3<>"/dev/tcp/127.0.0.1/$PORT"
  head -c 100000 /dev/urandom >&3
  exec 3<&- 3>&-
  expect 0 ping
  kill -0 "$SIM_PID" || fail "vyxsim died from client input"
}

case_discovery() {
  if ! command -v unshare >/dev/null || ! unshare -n true 2>/dev/null; then
    if ! unshare -rn true 2>/dev/null; then
      skip "cannot create a network namespace here (unshare -n refused); discovery is never tested on the machine's own network"
    fi
    NS=(unshare -rn)
  else
    NS=(unshare -n)
  fi
  # Inside the namespace only loopback exists, so the broadcast and multicast queries stay there.
  "${NS[@]}" bash -c '
    set -u
    ip link set lo up || exit 90
    ip route add default dev lo 2>/dev/null || true
    "$VYXSIM" --port 0 --root "$1/root" --name nsim >"$1/ns.out" 2>"$1/ns.log" &
    sim=$!
    for i in $(seq 1 100); do grep -q LISTENING "$1/ns.out" && break; sleep 0.05; done
    port=$(cut -d" " -f2 "$1/ns.out")
    "$VYXCTL" discover --seconds 2 >"$1/disc.txt" 2>"$1/disc.err"; echo $? >"$1/disc.rc"
    "$VYXCTL" --json discover --seconds 2 >"$1/disc.json" 2>/dev/null
    kill $sim; wait $sim
    "$VYXSIM" --port 0 --root "$1/root" --no-discovery >/dev/null 2>&1 &
    sim=$!
    "$VYXCTL" discover --seconds 2 >/dev/null 2>&1; echo $? >"$1/none.rc"
    kill $sim; wait $sim
    echo "$port" >"$1/port"
    # A second local address stands for the network: a simulator bound to loopback does not
    # answer a query sent there, one bound to every address does.
    ip addr add 10.9.9.1/32 dev lo || exit 90
    ask() {  # address -> the answer to one unicast query, or nothing within 2 s
      exec 3<>"/dev/udp/$1/17001" || return
      printf "vyx-wa-doko-desu-ka" >&3
      timeout 2 cat <&3
      exec 3<&- 3>&-
    }
    for bind in 127.0.0.1 0.0.0.0; do
      "$VYXSIM" --port 0 --bind $bind --root "$1/root" --name nsim >/dev/null 2>"$1/ns-$bind.log" &
      sim=$!
      for i in $(seq 1 200); do grep -q "discovery: answering" "$1/ns-$bind.log" && break; sleep 0.05; done
      ask 127.0.0.1 >"$1/ask-lo-$bind.txt"
      ask 10.9.9.1 >"$1/ask-net-$bind.txt"
      kill $sim; wait $sim
    done
  ' ns "$WORK"
  local rc=$?
  [[ $rc == 90 ]] && skip "loopback cannot be brought up in the namespace"
  [[ "$(cat "$WORK/disc.rc")" == 0 ]] || fail "discover failed: $(cat "$WORK/disc.err")"
  local port
  port=$(cat "$WORK/port")
  contains "$(cat "$WORK/disc.txt")" "vyx-kore-wa-desu;name=nsim;address=127.0.0.1;port=$port;version="
  [[ $(grep -c . "$WORK/disc.txt") == 1 ]] || fail "the same answer was reported twice"
  contains "$(cat "$WORK/disc.json")" "\"name\":\"nsim\""
  contains "$(cat "$WORK/disc.json")" "\"port\":\"$port\""
  [[ "$(cat "$WORK/none.rc")" == 1 ]] || fail "discover found a server that does not answer"
  contains "$(cat "$WORK/ask-lo-127.0.0.1.txt")" "vyx-kore-wa-desu;name=nsim;address=127.0.0.1;"
  [[ ! -s "$WORK/ask-net-127.0.0.1.txt" ]] || fail "a simulator bound to loopback answered on another address: $(cat "$WORK/ask-net-127.0.0.1.txt")"
  contains "$(cat "$WORK/ask-net-0.0.0.0.txt")" "vyx-kore-wa-desu;name=nsim;address=10.9.9.1;"
}

case_busy() {
  # A synthetic table (values come at the command pacing, 10 ms each): every identifier listed, each type reads back the value it was made with.
  start_sim --params-count 2000
  CTL_TIMEOUT=60 expect 0 params
  [[ $(grep -c . <<<"$OUT") == 2000 ]] || fail "params listed $(grep -c . <<<"$OUT") of 2000"
  contains "$OUT" $'2000\tstring\ttext 2000'
  local t listing=$OUT
  for t in "1 byte 1" "2 uint 2" "3 ulong 3" "4 float 21" "5 string text 5" "1999 float 44.75"; do
    read -r id type value <<<"$t"
    contains "$listing" "$id"$'\t'"$type"$'\t'"$value"
    expect 0 get "$id"
    [[ "$OUT" == "$value" ]] || fail "get $id gave $OUT, expected $value"
  done
  # Paced changes reach a watcher, spread over many parameters.
  start_sim --params-count 200 --live-rate 400
  expect 0 watch --seconds 2
  local changed
  changed=$(grep $'\tphysical\t' <<<"$OUT" | cut -f1 | sort -u | wc -l)
  ((changed >= 20)) || fail "only $changed parameters changed under --live-rate 400"
  # A flood still leaves room for answers to requests.
  start_sim --params-count 1000 --live-rate max
  "$VYXCTL" -p "$PORT" watch --seconds 3 >"$WORK/flood.out" 2>/dev/null &
  local watcher=$!
  wait_log "paired with monitor"
  expect 0 get 5
  [[ "$OUT" == "text 5" || "$OUT" == "change "* ]] || fail "get 5 under the flood gave $OUT"
  expect 0 set 7 uint 424242
  wait "$watcher"
  [[ $(grep -c $'\tphysical\t' "$WORK/flood.out") -ge 1000 ]] || fail "the flood brought too few changes"
  stop_sim
  # Bad values are refused before anything starts, naming the option and its range.
  local args
  for args in "--params-count 0" "--params-count -5" "--params-count 100001" "--params-count ten" \
              "--live-rate 0" "--live-rate -1" "--live-rate 50001" "--live-rate fast" "--live-rate 1.5" \
              "--live-rate"; do
    read -r option value <<<"$args"
    "$VYXSIM" --port 0 --root "$WORK/root" --no-discovery $args >/dev/null 2>"$WORK/bad.err"
    local rc=$?
    [[ $rc == 2 ]] || fail "vyxsim $args exited $rc, expected 2"
    contains "$(head -n1 "$WORK/bad.err")" "vyxsim: "
    contains "$(head -n1 "$WORK/bad.err")" "$option"
    if [[ -n "$value" ]]; then
      contains "$(head -n1 "$WORK/bad.err")" "invalid number for $option: $value (expected "
    fi
  done
  "$VYXSIM" --params-count 5 --params "$WORK/none.json" >/dev/null 2>"$WORK/bad.err"
  [[ $? == 2 ]] || fail "--params with --params-count is not a usage error"
  contains "$(cat "$WORK/bad.err")" "exclude each other"
}

# j SQL: one value (or rows) from the journal file.
j() { sqlite3 "$WORK/journal.sqlite" "$1"; }

case_journal() {
  command -v sqlite3 >/dev/null || { echo "sqlite3 is not installed" >&2; exit 77; }
  start_sim --password 'pw-Secret-42'
  local J=(--journal "$WORK/journal.sqlite" --site Office -P 'pw-Secret-42')
  echo "FILE-CONTENT-MARKER" >"$WORK/put.txt"
  expect 0 "${J[@]}" mkdir logs
  expect 0 "${J[@]}" set 100001 byte 1
  expect 0 "${J[@]}" put "$WORK/put.txt" logs/put.txt
  expect 0 "${J[@]}" exec cat logs/put.txt
  expect 0 "${J[@]}" download "$WORK/backup.db"
  expect 1 "${J[@]}" rm logs/missing
  expect 0 "${J[@]}" get 100001         # a read: not a change, not recorded
  [[ "$(j 'PRAGMA journal_mode')" == wal ]] || fail "the journal is not in WAL mode"
  # Each change: an intent, then a result naming it, in order.
  [[ "$(j "SELECT group_concat(kind || ':' || outcome, ' ') FROM (SELECT i.kind, r.outcome FROM journal i
        JOIN journal r ON r.intent = i.id WHERE i.entry = 'intent' ORDER BY i.id)")" == \
     "folder-create:succeeded parameter-write:succeeded file-copy:succeeded command-line:succeeded backup:succeeded file-delete:failed" ]] \
    || fail "journal: $(j 'SELECT * FROM journal')"
  [[ "$(j "SELECT count(*) FROM journal i JOIN journal r ON r.intent = i.id WHERE r.id < i.id")" == 0 ]] \
    || fail "a result was written before its intent"
  [[ "$(j "SELECT DISTINCT site || ' ' || address || ' ' || user || ' ' || program FROM journal")" == \
     "Office 127.0.0.1:$PORT admin vyxctl" ]] || fail "server or user: $(j 'SELECT site, address, user FROM journal')"
  [[ "$(j "SELECT arguments FROM journal WHERE kind = 'parameter-write' AND entry = 'intent'")" == \
     '{"uid":"100001","type":"byte","value":"1"}' ]] || fail "arguments: $(j 'SELECT arguments FROM journal')"
  # Neither the password nor what a file holds (the command printed it) is anywhere in the files.
  grep -rqa -e 'pw-Secret-42' -e 'FILE-CONTENT-MARKER' "$WORK"/journal.sqlite* && fail "a secret or file content is in the journal"
  # Nothing answered before the server died: the intent stays without a result.
  start_sim --password 'pw-Secret-42' --stall-download 1024
  "$VYXCTL" -p "$PORT" -t 30 "${J[@]}" download "$WORK/stalled.db" >/dev/null 2>&1 &
  local client=$!
  wait_log "download stalled"
  kill -9 "$client"
  wait "$client" 2>/dev/null
  [[ "$(j "SELECT count(*) FROM journal i WHERE i.entry = 'intent' AND i.kind = 'backup'
        AND NOT EXISTS (SELECT 1 FROM journal r WHERE r.intent = i.id)")" == 1 ]] \
    || fail "the killed download did not leave its intent alone: $(j 'SELECT * FROM journal')"
  # A journal that cannot be written stops the change before it is sent.
  : >"$WORK/blocked"
  expect 4 --journal "$WORK/blocked/journal.sqlite" -P 'pw-Secret-42' mkdir never
  contains "$ERR" "nothing was sent"
  [[ -e "$WORK/root/files/never" ]] && fail "the change was sent without its journal record"
  return 0
}

# A quiet run says only what was asked: vyxsim --quiet its port, vyxctl its results. -v adds the
# protocol library's warnings and errors, never a note per channel event.
case_quiet() {
  start_sim --quiet
  expect 0 get 100501
  [[ "$OUT" == Kitchen && -z "$ERR" ]] || fail "get printed: stdout $OUT; stderr $ERR"
  expect 0 set 100001 byte 7
  [[ "$OUT" == "100001 = 7" && -z "$ERR" ]] || fail "set printed: stdout $OUT; stderr $ERR"
  expect 0 params
  [[ -z "$ERR" ]] || fail "params printed on stderr: $ERR"
  # -v shows warnings and errors; an orderly run has none (closing its own channels is no error).
  expect 0 -v ping
  [[ -z "$ERR" ]] || fail "-v ping printed: $ERR"
  expect 1 -v md5 nothing-here
  [[ "$ERR" == "vyxctl: md5: no such file on the server: nothing-here" ]] || fail "-v md5 printed: $ERR"
  # The transfers' answers carry only some of their members: the missing ones are no errors.
  expect 0 -v download "$WORK/quiet.db"
  [[ -z "$ERR" ]] || fail "-v download printed: $ERR"
  printf 'another database' >"$WORK/other.db"
  expect 0 -v upload "$WORK/other.db"
  [[ -z "$ERR" ]] || fail "-v upload printed: $ERR"
  local port=$PORT out="$WORK/sim$SIM_COUNT.out"
  stop_sim
  [[ ! -s "$SIM_LOG" ]] || fail "vyxsim --quiet wrote: $(cat "$SIM_LOG")"
  [[ "$(cat "$out")" == "LISTENING $port" ]] || fail "vyxsim --quiet printed: $(cat "$out")"
  quiet_desk
}

# vyxdesk logged in to a simulator, then quit: nothing at warning level or above on its stderr.
# It runs in a network namespace of its own, so that nothing it might search leaves the machine.
quiet_desk() {
  if [[ -z "${VYXDESK:-}" ]]; then
    echo "vyxdesk not built: its quiet run is not checked"
    return 0
  fi
  unshare -n true 2>/dev/null || skip "cannot make a network namespace for vyxdesk"
  unshare -n sh -c 'ip link set lo up && exec bash "$0" quiet_desk_inside' "$0" || fail "vyxdesk's quiet run failed"
}

case_quiet_desk_inside() {
  start_sim
  mkdir -p "$WORK/run" && chmod 700 "$WORK/run"
  # Each message with its level in front, so that the levels can be checked.
  (cd "$WORK" && QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$WORK/xdg" XDG_RUNTIME_DIR="$WORK/run" \
    QT_MESSAGE_PATTERN='%{type} %{category}: %{message}' VYXDESK_PASSWORD=admin VYXDESK_QUIT_AFTER_MS=8000 \
    exec "$VYXDESK" --connect "admin@127.0.0.1:$PORT" --site-name quiet >"$WORK/desk.out" 2>"$WORK/desk.err") &
  local desk=$!
  for _ in $(seq 1 300); do
    grep -q "user admin logged in" "$SIM_LOG" && break
    kill -0 "$desk" 2>/dev/null || break
    sleep 0.05
  done
  grep -q "user admin logged in" "$SIM_LOG" || fail "vyxdesk did not log in: $(cat "$WORK/desk.err")"
  # The password was read once: no other process of this user can read it in its environment.
  if tr '\0' '\n' <"/proc/$desk/environ" | grep -q '^VYXDESK_PASSWORD='; then
    fail "vyxdesk keeps VYXDESK_PASSWORD in its environment"
  fi
  wait "$desk" || fail "vyxdesk ended with an error: $(tail -20 "$WORK/desk.err")"
  # The offscreen platform of this test says it cannot size windows: that one is Qt's, not ours.
  if grep -v 'does not support propagateSizeHints' "$WORK/desk.err" |
    grep -E -q '^(warning|critical|fatal) |kvtError Number|^Warning :'; then
    fail "vyxdesk printed warnings or errors: $(cat "$WORK/desk.err")"
  fi
  return 0
}

case_shutdown() {
  start_sim
  kill -TERM "$SIM_PID"
  wait "$SIM_PID"
  local rc=$?
  SIM_PID=""
  [[ $rc == 0 ]] || fail "vyxsim exited $rc on SIGTERM"
  grep -q stopping "$SIM_LOG" || fail "no clean stop"
  "$VYXSIM" --bogus >/dev/null 2>&1
  [[ $? == 2 ]] || fail "an unknown vyxsim option is not a usage error"
  "$VYXCTL" >/dev/null 2>&1
  [[ $? == 2 ]] || fail "vyxctl without a command is not a usage error"
}

# ---- fleet ------------------------------------------------------------------------------------

# start_fleet N [vyxsim options for each, as "i:options"...]: N simulators, each with its own
# sandbox and log; FLEET_PORTS[i] and FLEET_PIDS[i] (0-based).
FLEET_PORTS=()
start_fleet() {
  local n=$1 i j
  shift
  for ((i = 0; i < n; i++)); do
    local extra=()
    for spec in "$@"; do [[ "${spec%%:*}" == "$i" ]] && read -r -a extra <<<"${spec#*:}"; done
    "$VYXSIM" --port 0 --root "$WORK/site$i" --no-discovery "${extra[@]}" >"$WORK/site$i.out" 2>"$WORK/site$i.log" &
    FLEET_PIDS[i]=$!
  done
  for ((i = 0; i < n; i++)); do
    FLEET_PORTS[i]=""
    for j in $(seq 1 200); do
      if read -r word port <"$WORK/site$i.out" 2>/dev/null && [[ "$word" == LISTENING && -n "$port" ]]; then
        FLEET_PORTS[i]=$port
        break
      fi
      sleep 0.05
    done
    [[ -n "${FLEET_PORTS[i]}" ]] || fail "simulator $i did not start: $(cat "$WORK/site$i.log")"
  done
}

# sites_file FILE NAME... : one site per name, in the order of FLEET_PORTS, each with the
# simulators' default password in an owner-only file beside FILE.
sites_file() {
  local file=$1 i=0 sep=""
  shift
  (umask 077 && echo admin >"$(dirname "$file")/admin.pw")
  {
    printf '{"sites": ['
    for name in "$@"; do
      printf '%s{"name": "%s", "host": "127.0.0.1", "port": %s, "passwordFile": "admin.pw"}' "$sep" "$name" "${FLEET_PORTS[i]}"
      sep=", "
      i=$((i + 1))
    done
    printf ']}\n'
  } >"$file"
}

case_fleet() {
  # Five sites: one refuses the login, one dies in the middle of its download. The summary names
  # exactly those two; every other site's vault folder holds a verified copy of its database.
  start_fleet 5 "1:--refuse-login" "3:--db-size 4194304 --stall-download 1048576"
  sites_file "$WORK/sites.json" north refusing east dying west
  # A journal that cannot be written stops the run before any site is contacted.
  : >"$WORK/blocked"
  "$VYXCTL" -t 20 fleet backup --sites "$WORK/sites.json" --vault "$WORK/vault" \
    --journal "$WORK/blocked/journal.sqlite" >"$WORK/fleet.out" 2>"$WORK/fleet.err"
  RC=$?
  [[ $RC == 4 ]] || fail "fleet backup with an unwritable journal exited $RC"
  contains "$(cat "$WORK/fleet.err")" "nothing was sent"
  grep -q "login of" "$WORK"/site*.log && fail "a site was contacted without its journal record"
  # The fleet's intents go in one transaction: a journal that refuses one of them holds none.
  "$VYXCTL" -p 1 -t 2 --journal "$WORK/refusing.sqlite" mkdir x >/dev/null 2>&1
  sqlite3 "$WORK/refusing.sqlite" "CREATE TRIGGER refuse BEFORE INSERT ON journal WHEN NEW.site = 'east'
    BEGIN SELECT RAISE(ABORT, 'refused'); END" || fail "cannot prepare the refusing journal"
  "$VYXCTL" -t 20 fleet backup --sites "$WORK/sites.json" --vault "$WORK/vault" \
    --journal "$WORK/refusing.sqlite" >"$WORK/fleet.out" 2>"$WORK/fleet.err"
  RC=$?
  [[ $RC == 4 ]] || fail "fleet backup with a refusing journal exited $RC"
  contains "$(cat "$WORK/fleet.err")" "none of the 5 intents was written; nothing was sent"
  [[ "$(sqlite3 "$WORK/refusing.sqlite" "SELECT count(*) FROM journal WHERE kind = 'backup'")" == 0 ]] ||
    fail "a refused fleet left intents: $(sqlite3 "$WORK/refusing.sqlite" 'SELECT site FROM journal')"
  grep -q "login of" "$WORK"/site*.log && fail "a site was contacted without its journal record"
  "$VYXCTL" -t 20 fleet backup --sites "$WORK/sites.json" --vault "$WORK/vault" --parallel 3 \
    --journal "$WORK/fleet.sqlite" >"$WORK/fleet.out" 2>"$WORK/fleet.err" &
  local client=$!
  FLEET_PIDS+=("$client")
  local i
  for i in $(seq 1 300); do grep -q "download stalled" "$WORK/site3.log" && break; sleep 0.05; done
  grep -q "download stalled" "$WORK/site3.log" || fail "the dying site never started its download"
  kill -9 "${FLEET_PIDS[3]}"
  wait "$client"
  local rc=$?
  local out
  out=$(cat "$WORK/fleet.out")
  [[ $rc == 1 ]] || fail "fleet backup with failures exited $rc: $out $(cat "$WORK/fleet.err")"
  local summary
  summary=$(tail -n 1 <<<"$out")
  contains "$summary" "3 of 5 sites backed up"
  contains "$summary" "refusing (login refused: authentication failed)"
  contains "$summary" "dying (connection lost during the download"
  for name in north east west; do [[ "$summary" != *"$name"* ]] || fail "$name named as failed: $summary"; done
  [[ $(grep -c '^FAILED' <<<"$out") == 2 ]] || fail "failures listed: $out"
  for i in 0 2 4; do
    local folder="$WORK/vault/127.0.0.1_${FLEET_PORTS[i]}"
    local copies=("$folder"/*.db)
    [[ ${#copies[@]} == 1 && -f "${copies[0]}" ]] || fail "site $i has no single copy: $(ls -la "$folder")"
    local digest name
    digest=$(md5 "${copies[0]}")
    name=$(basename "${copies[0]}")
    [[ "$name" == *"_${digest}.db" ]] || fail "copy $name is not named by its MD5 $digest"
    local row
    row=$(sqlite3 "$WORK/vault/index.sqlite" "SELECT md5 || ' ' || verified || ' ' || version FROM copies
          WHERE site = '127.0.0.1_${FLEET_PORTS[i]}'")
    [[ "$row" == "$digest 1 vyxsim"* ]] || fail "index row of site $i: $row"
    # The server's own database is what the vault holds.
    [[ "$digest" == "$("$VYXCTL" -p "${FLEET_PORTS[i]}" db-md5)" ]] || fail "site $i's copy differs from its server"
  done
  # The journal holds each site's backup once: its server and user, and how it ended.
  fj() { sqlite3 "$WORK/fleet.sqlite" "$1"; }
  [[ "$(fj "SELECT count(*) FROM journal WHERE entry = 'intent' AND kind = 'backup' AND program = 'vyxctl'")" == 5 ]] ||
    fail "fleet journal intents: $(fj 'SELECT * FROM journal')"
  local names=(north refusing east dying west)
  for i in 0 1 2 3 4; do
    local row
    row=$(fj "SELECT i.user || ' ' || r.outcome || ' ' || r.result FROM journal i JOIN journal r ON r.intent = i.id
              WHERE i.entry = 'intent' AND i.site = '${names[i]}' AND i.address = '127.0.0.1:${FLEET_PORTS[i]}'")
    case $i in
      1) [[ "$row" == "admin failed login refused: authentication failed" ]] || fail "refused site's record: $row" ;;
      3) [[ "$row" == "admin failed connection lost during the download"* ]] || fail "killed site's record: $row" ;;
      *) [[ "$row" == "admin succeeded MD5 $("$VYXCTL" -p "${FLEET_PORTS[i]}" db-md5), "*" bytes" ]] ||
        fail "site $i's record: $row" ;;
    esac
  done
  for i in 1 3; do
    [[ -z "$(ls "$WORK/vault/127.0.0.1_${FLEET_PORTS[i]}" 2>/dev/null)" ]] ||
      fail "failed site $i left files: $(ls -a "$WORK/vault/127.0.0.1_${FLEET_PORTS[i]}")"
  done
  # The same as JSON: one line per site and the summary.
  "$VYXCTL" -t 3 fleet backup --sites "$WORK/sites.json" --vault "$WORK/vault" --json >"$WORK/fleet.json" 2>/dev/null
  [[ $? == 1 ]] || fail "the JSON run did not fail"
  grep -q '"summary":true,"sites":5,"ok":3,"failed":2' "$WORK/fleet.json" || fail "JSON summary: $(cat "$WORK/fleet.json")"
  [[ $(grep -c '"ok":false' "$WORK/fleet.json") == 2 ]] || fail "JSON failures: $(cat "$WORK/fleet.json")"
  # Status: reachability without a login, and the age of the newest copy.
  local logins
  logins=$(grep -c "login of" "$WORK/site1.log")
  "$VYXCTL" -t 5 fleet status --sites "$WORK/sites.json" --vault "$WORK/vault" >"$WORK/ctl.out" 2>"$WORK/ctl.err"
  RC=$?
  OUT=$(cat "$WORK/ctl.out")
  [[ "$RC" == 1 ]] || fail "status with a dead site exited $RC"
  contains "$OUT" "dying (127.0.0.1:${FLEET_PORTS[3]}): NOT reachable"
  contains "$OUT" "refusing (127.0.0.1:${FLEET_PORTS[1]}): reachable"
  contains "$(grep '^north' <<<"$OUT")" "newest backup"
  contains "$(grep '^refusing' <<<"$OUT")" "no backup"
  [[ $(grep -c "login of" "$WORK/site1.log") == "$logins" ]] || fail "status tried to log in"
  # Retention: the newest N stay.
  sites_file "$WORK/one.json" north
  for i in 1 2; do
    "$VYXCTL" -t 10 fleet backup --sites "$WORK/one.json" --vault "$WORK/vault" --keep 2 >/dev/null 2>&1 ||
      fail "backup $i of north failed"
  done
  [[ $(sqlite3 "$WORK/vault/index.sqlite" "SELECT count(*) FROM copies WHERE site = '127.0.0.1_${FLEET_PORTS[0]}'") == 2 ]] ||
    fail "retention kept: $(sqlite3 "$WORK/vault/index.sqlite" 'SELECT * FROM copies')"
  [[ $(ls "$WORK/vault/127.0.0.1_${FLEET_PORTS[0]}"/*.db | wc -l) == 2 ]] || fail "retention left files: $(ls "$WORK/vault/127.0.0.1_${FLEET_PORTS[0]}")"
}

case_vault_suspect() {
  # The server's database goes empty between two backups that keep one copy: the empty copy is
  # kept as suspect, the good one stays verified, and the status fails and says why.
  command -v sqlite3 >/dev/null || { echo "sqlite3 is not installed" >&2; exit 77; }
  start_sim --db-size 65536
  FLEET_PORTS=("$PORT")
  sites_file "$WORK/sites.json" office
  local V=(--sites "$WORK/sites.json" --vault "$WORK/vault")
  local folder="$WORK/vault/127.0.0.1_$PORT"
  "$VYXCTL" -t 10 fleet backup "${V[@]}" --keep 1 --journal "$WORK/j.sqlite" >"$WORK/o" 2>"$WORK/e" ||
    fail "first backup: $(cat "$WORK/o" "$WORK/e")"
  local good
  good=$(ls "$folder"/*.db)
  [[ $(stat -c %s "$good") == 65536 ]] || fail "the first copy is not the server's 65536 bytes"
  [[ "$(head -c 15 "$good")" == "SQLite format 3" ]] || fail "the simulator's database is not SQLite"
  : >"$WORK/root/config/vyx.db"
  sleep 1 # copies are named by the second
  "$VYXCTL" -t 10 fleet backup "${V[@]}" --keep 1 --journal "$WORK/j.sqlite" >"$WORK/o" 2>"$WORK/e"
  RC=$?
  [[ $RC == 1 ]] || fail "a backup that took an empty copy exited $RC: $(cat "$WORK/o")"
  contains "$(cat "$WORK/o")" "FAILED  office (127.0.0.1:$PORT): suspect copy kept: the copy is empty (0 bytes)"
  [[ -f "$good" && $(stat -c %s "$good") == 65536 ]] || fail "the good copy was deleted: $(ls -la "$folder")"
  [[ "$(sqlite3 "$WORK/vault/index.sqlite" "SELECT size || ' ' || verified || ' ' || suspect FROM copies
        ORDER BY time, id")" == $'65536 1 
0 0 the copy is empty (0 bytes)' ]] ||
    fail "index: $(sqlite3 "$WORK/vault/index.sqlite" 'SELECT * FROM copies')"
  [[ "$(sqlite3 "$WORK/j.sqlite" "SELECT r.outcome || ': ' || r.result FROM journal r WHERE r.entry = 'result'
        ORDER BY r.id DESC LIMIT 1")" == "failed: suspect copy kept: the copy is empty (0 bytes)"* ]] ||
    fail "journal: $(sqlite3 "$WORK/j.sqlite" 'SELECT * FROM journal')"
  "$VYXCTL" -t 5 fleet status "${V[@]}" --max-age 1 >"$WORK/o" 2>"$WORK/e"
  RC=$?
  [[ $RC == 1 ]] || fail "status with a suspect newest copy exited $RC: $(cat "$WORK/o")"
  contains "$(cat "$WORK/o")" "ATTENTION: the newest copy is suspect: the copy is empty (0 bytes)"
  # The newest backup named is the good copy (its time is in its name: 2026-12-01T09-30-00Z_...).
  local stamp
  stamp=$(basename "$good")
  stamp=${stamp%%_*}
  local clock=${stamp#*T}
  contains "$(cat "$WORK/o")" "newest backup ${stamp%%T*}T${clock//-/:}"
  "$VYXCTL" -t 5 --json fleet status "${V[@]}" >"$WORK/o" 2>/dev/null
  contains "$(cat "$WORK/o")" '"attention":"the newest copy is suspect: the copy is empty (0 bytes)"'
  # Not the kind of file the server keeps: bytes that are no SQLite database.
  head -c 65536 /dev/urandom >"$WORK/root/config/vyx.db"
  sleep 1
  "$VYXCTL" -t 10 fleet backup "${V[@]}" --keep 1 >"$WORK/o" 2>&1
  contains "$(cat "$WORK/o")" "suspect copy kept: the copy is not an SQLite database, as this site's earlier copies are"
  [[ -f "$good" ]] || fail "the good copy was deleted by the third backup"
  # A sound database less than half the size of the last verified copy: kept, and flagged.
  rm -f "$WORK/root/config/vyx.db"
  sqlite3 "$WORK/root/config/vyx.db" "PRAGMA page_size = 4096; CREATE TABLE t (x)"
  sleep 1
  "$VYXCTL" -t 10 fleet backup "${V[@]}" --keep 1 >"$WORK/o" 2>&1 || fail "a small sound copy failed: $(cat "$WORK/o")"
  "$VYXCTL" -t 5 fleet status "${V[@]}" >"$WORK/o" 2>/dev/null
  RC=$?
  [[ $RC == 1 ]] || fail "status after a size drop exited $RC"
  contains "$(cat "$WORK/o")" "ATTENTION: the newest copy (8192 bytes) is less than half the size of the verified copy before it (65536 bytes)"
  [[ -f "$good" ]] || fail "retention removed the full copy a size drop is measured against"
  # Copies and the index are their owner's alone.
  [[ $(stat -c %a "$WORK/vault") == 700 && $(stat -c %a "$folder") == 700 ]] || fail "vault folders: $(stat -c %a "$WORK/vault" "$folder")"
  for f in "$folder"/*.db "$WORK/vault/index.sqlite"; do
    [[ $(stat -c %a "$f") == 600 ]] || fail "$f is $(stat -c %a "$f")"
  done
}

case_fleet_sites() {
  # Passwords come from the environment or an owner-only file, never from the sites file.
  start_fleet 1 "0:--user alice --password s3cret"
  local port=${FLEET_PORTS[0]}
  printf '{"sites": [{"host": "127.0.0.1", "port": %s, "user": "alice", "password": "s3cret"}]}' "$port" >"$WORK/inline.json"
  "$VYXCTL" fleet backup --sites "$WORK/inline.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e"
  [[ $? == 2 ]] || fail "a password in the sites file was accepted"
  contains "$(cat "$WORK/e")" "passwordEnv or passwordFile"
  printf 's3cret\n' >"$WORK/pw"
  chmod 640 "$WORK/pw"
  printf '{"sites": [{"name": "a", "host": "127.0.0.1", "port": %s, "user": "alice", "passwordFile": "pw"}]}' "$port" >"$WORK/file.json"
  "$VYXCTL" fleet backup --sites "$WORK/file.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e"
  [[ $? == 2 ]] || fail "a group-readable password file was accepted"
  contains "$(cat "$WORK/e")" "readable by you alone"
  chmod 600 "$WORK/pw"
  "$VYXCTL" fleet backup --sites "$WORK/file.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e" ||
    fail "backup with an owner-only password file: $(cat "$WORK/o" "$WORK/e")"
  printf '{"sites": [{"name": "b", "host": "127.0.0.1", "port": %s, "user": "alice", "passwordEnv": "SITE_PW"}]}' "$port" >"$WORK/env.json"
  "$VYXCTL" fleet backup --sites "$WORK/env.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e"
  [[ $? == 2 ]] || fail "an unset password variable was accepted"
  SITE_PW=s3cret "$VYXCTL" fleet backup --sites "$WORK/env.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e" ||
    fail "backup with the password from the environment: $(cat "$WORK/o" "$WORK/e")"
  SITE_PW=wrong "$VYXCTL" fleet backup --sites "$WORK/env.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e"
  [[ $? == 1 ]] || fail "a wrong password did not fail the site"
  contains "$(cat "$WORK/o")" "authentication failed"
  # Usage errors.
  for args in "fleet" "fleet backup --sites $WORK/env.json" "fleet status" "fleet backup --sites $WORK/env.json --vault $WORK/v --parallel 0" \
              "fleet frob --sites $WORK/env.json"; do
    # shellcheck disable=SC2086
    "$VYXCTL" $args >/dev/null 2>&1
    [[ $? == 2 ]] || fail "vyxctl $args is not a usage error"
  done
  printf '[{"host": "127.0.0.1", "port": 70000}]' >"$WORK/bad.json"
  "$VYXCTL" fleet status --sites "$WORK/bad.json" >/dev/null 2>"$WORK/e"
  [[ $? == 2 ]] || fail "an invalid port was accepted"
  contains "$(cat "$WORK/e")" "invalid port"
}

# 200 sites whose connect never completes: vyxctl fleet status probes them a bounded number at a
# time. They are addresses routed to nowhere inside a network namespace made here.
case_fleet_status_pool() {
  if [[ -z "${VYX_OWN_NETNS:-}" ]]; then
    unshare -rn ip link set lo up 2>/dev/null || skip "cannot make a network namespace (unshare -rn, ip)"
    rm -rf "$WORK"
    trap - EXIT
    VYX_OWN_NETNS=1 exec unshare -rn sh -c 'ip link set lo up && ip route add 10.255.255.0/24 dev lo && exec bash "$0" "$1"' \
      "${BASH_SOURCE[0]}" "$CASE"
  fi
  local sites="" i
  for ((i = 1; i <= 200; i++)); do
    sites+="${sites:+,}{\"name\": \"s$i\", \"host\": \"10.255.255.$i\", \"port\": 18000}"
  done
  printf '[%s]' "$sites" >"$WORK/sites.json"
  "$VYXCTL" -t 1 fleet status --sites "$WORK/sites.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e" &
  local pid=$! most=0 n
  while n=$(awk '/^State:/ { zombie = ($2 == "Z") } /^Threads:/ { t = $2 } END { if (!zombie) print t }' \
    "/proc/$pid/status" 2>/dev/null) && [[ -n "$n" ]]; do
    ((n > most)) && most=$n
    sleep 0.02
  done
  wait "$pid"
  ((most > 1)) || fail "vyxctl was never seen probing: $(cat "$WORK/o" "$WORK/e")"
  ((most <= 40)) || fail "vyxctl fleet status ran $most threads for 200 sites"
  [[ $(grep -c "NOT reachable" "$WORK/o") -eq 200 ]] || fail "not every site was reported unreachable: $(cat "$WORK/o" "$WORK/e")"
}

# Where vyxctl and vyxsim take a password from: never the command line unless asked (with a
# warning), and $VYX_PASSWORD only with a warning and never for a program started by vyxctl.
case_passwords() {
  (umask 077 && echo 's3cret|x' >"$WORK/pw")
  start_sim --user alice --password-file "$WORK/pw"
  ! grep -q "password-file" "$SIM_LOG" || fail "vyxsim warned about a password file: $(cat "$SIM_LOG")"
  expect 0 -u alice --password-file "$WORK/pw" ping
  [[ -z "$ERR" ]] || fail "a password file brought a warning: $ERR"
  chmod 640 "$WORK/pw"
  expect 3 -u alice --password-file "$WORK/pw" ping
  contains "$ERR" "readable by you alone"
  chmod 600 "$WORK/pw"
  ln -s "$WORK/pw" "$WORK/pw-link"
  expect 3 -u alice --password-file "$WORK/pw-link" ping
  contains "$ERR" "cannot open the password file"
  # A command: its first line; run without a shell when it has no shell syntax.
  expect 0 -u alice --password-command "head -n 1 $WORK/pw" ping
  expect 0 -u alice --password-command "cat '$WORK/pw' | head -n 1" ping
  expect 3 -u alice --password-command "false" ping
  contains "$ERR" "exited with 1"
  # A systemd credential.
  mkdir -m 700 "$WORK/creds"
  cp "$WORK/pw" "$WORK/creds/vyx-password"
  CREDENTIALS_DIRECTORY="$WORK/creds" expect 0 -u alice ping
  [[ -z "$ERR" ]] || fail "a credential brought a warning: $ERR"
  # The environment: used with a warning, and gone before vyxctl starts another program.
  VYX_PASSWORD='s3cret|x' expect 0 -u alice ping
  contains "$ERR" "VYX_PASSWORD"
  VYX_PASSWORD='s3cret|x' expect 3 -u alice --password-command "printenv VYX_PASSWORD" ping
  contains "$ERR" "exited with 1"
  expect 0 -u alice -P 's3cret|x' ping
  contains "$ERR" "every local user (ps)"
  expect 2 -u alice -P x --password-file "$WORK/pw" ping
  expect 2 --password-file "$WORK/pw" fleet status --sites "$WORK/none.json"
  # vyxsim: --password works and warns.
  start_sim --user bob --password pw
  grep -q "password-file" "$SIM_LOG" || fail "vyxsim --password did not warn: $(cat "$SIM_LOG")"
  expect 0 -u bob -P pw ping
  chmod 644 "$WORK/pw"
  "$VYXSIM" --port 0 --root "$WORK/root" --no-discovery --password-file "$WORK/pw" >/dev/null 2>"$WORK/bad.err"
  [[ $? == 2 ]] || fail "vyxsim took a password file that others can read"
  contains "$(cat "$WORK/bad.err")" "readable by you alone"
}

# Text from a server reaches the terminal with its control characters escaped: the version,
# values, command output and errors (plain and JSON).
case_escapes() {
  local esc=$'\e]0;owned\a\e[2J\r\x9b'
  printf '[{"id": 42, "type": "string", "value": "red \\u001b[31m\\u009b2J"}]' >"$WORK/params.json"
  start_sim --server-version "vyxsim$esc" --params "$WORK/params.json"
  expect 0 ping
  contains "$OUT" 'server vyxsim\u001b]0;owned\u0007\u001b[2J\u000d\u009b, time stamp'
  expect 0 --json ping
  contains "$OUT" '"version":"vyxsim\u001b]0;owned\u0007\u001b[2J\r\u009b"'
  expect 0 get 42
  [[ "$OUT" == 'red \u001b[31m\u009b2J' ]] || fail "get printed: $OUT"
  expect 0 exec echo "a${esc}b"
  contains "$OUT" 'a\u001b]0;owned'
  expect 1 mkdir "/abs${esc}"
  contains "$ERR" '/abs\u001b]0;owned'
  local all="$OUT$ERR"
  for part in $'\e' $'\a' $'\r' $'\x9b'; do
    [[ "$all" != *"$part"* ]] || fail "a control character reached the terminal: $(printf %q "$all")"
  done
  grep -q $'\e' "$SIM_LOG" && fail "vyxsim's log holds a raw escape"
  return 0
}

# The fleet: no shared password, password files only beside the sites file or among the
# credentials, and systemd credentials by name.
case_fleet_passwords() {
  mkdir -p "$WORK/conf" "$WORK/home/.ssh" "$WORK/creds"
  (umask 077 && echo admin >"$WORK/conf/admin.pw" && echo 's3cret' >"$WORK/alice.pw" &&
    echo 's3cret' >"$WORK/home/.ssh/id_test" && echo 's3cret' >"$WORK/creds/alice")
  start_fleet 2 "1:--user alice --password-file $WORK/alice.pw"
  local p0=${FLEET_PORTS[0]} p1=${FLEET_PORTS[1]}
  # A site without a password source of its own is skipped, whatever $VYX_PASSWORD says.
  printf '{"sites": [{"name": "own", "host": "127.0.0.1", "port": %s, "passwordFile": "admin.pw"},
    {"name": "none", "host": "127.0.0.1", "port": %s, "user": "alice"}]}' "$p0" "$p1" >"$WORK/conf/sites.json"
  VYX_PASSWORD=s3cret "$VYXCTL" -t 10 fleet backup --sites "$WORK/conf/sites.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e"
  [[ $? == 1 ]] || fail "a site without a password did not fail the run: $(cat "$WORK/o" "$WORK/e")"
  contains "$(cat "$WORK/o")" "ok      own"
  contains "$(cat "$WORK/o")" "FAILED  none (127.0.0.1:$p1): no password"
  grep -q "login of" "$WORK/site1.log" && fail "the site without a password was sent one"
  # A sites file that names a file outside its folder is refused before anything is sent.
  local outside
  for outside in "$WORK/home/.ssh/id_test" "../home/.ssh/id_test"; do
    printf '{"sites": [{"name": "a", "host": "127.0.0.1", "port": %s, "user": "alice", "passwordFile": "%s"}]}' \
      "$p1" "$outside" >"$WORK/conf/evil.json"
    "$VYXCTL" -t 10 fleet backup --sites "$WORK/conf/evil.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e"
    [[ $? == 2 ]] || fail "a password file outside the sites file's folder was used: $outside"
    contains "$(cat "$WORK/e")" "a sites file may name password files only inside its own folder or under \$CREDENTIALS_DIRECTORY"
  done
  grep -q "login of" "$WORK/site1.log" && fail "a refused sites file sent a password"
  # Under a service: the site's credential by name, and password files among the credentials.
  printf '{"sites": [{"name": "cred", "host": "127.0.0.1", "port": %s, "user": "alice", "credential": "alice"},
    {"name": "credfile", "host": "127.0.0.1", "port": %s, "user": "alice", "passwordFile": "%s"}]}' \
    "$p1" "$p1" "$WORK/creds/alice" >"$WORK/conf/service.json"
  CREDENTIALS_DIRECTORY="$WORK/creds" "$VYXCTL" -t 10 fleet backup --sites "$WORK/conf/service.json" \
    --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e" || fail "backup with credentials: $(cat "$WORK/o" "$WORK/e")"
  contains "$(cat "$WORK/o")" "2 of 2 sites backed up"
  # Outside a service the credential is not there: that site has no password.
  printf '{"sites": [{"name": "cred", "host": "127.0.0.1", "port": %s, "user": "alice", "credential": "alice"}]}' \
    "$p1" >"$WORK/conf/cred.json"
  "$VYXCTL" -t 10 fleet backup --sites "$WORK/conf/cred.json" --vault "$WORK/v" >"$WORK/o" 2>"$WORK/e"
  [[ $? == 1 ]] || fail "a credential outside a service: $(cat "$WORK/o" "$WORK/e")"
  contains "$(cat "$WORK/o")" "FAILED  cred (127.0.0.1:$p1): no password"
}

# A site across the internet, through SSH: vyxsim behind the system's sshd, both inside a network
# namespace made here, with a key pair made here and an sshd_config of its own on loopback.
case_tunnel() {
  local sshd=/usr/sbin/sshd
  [[ -x "$sshd" ]] && command -v ssh >/dev/null && command -v ssh-keygen >/dev/null ||
    skip "OpenSSH (openssh-server, openssh-client) is not installed"
  # sshd runs as root for its privilege separation (user sshd, /run/sshd): a namespace made by a
  # plain user (unshare -rn) cannot give it that.
  unshare -n -m true 2>/dev/null || skip "cannot make a network and mount namespace (unshare -n -m needs root)"
  unshare -n -m bash "$0" tunnel_inside || fail "the tunnel cases failed"
}

case_tunnel_inside() {
  ip link set lo up || fail "cannot bring up loopback in the namespace"
  # The privilege separation folder, private to this namespace when the machine has none.
  if [[ ! -d /run/sshd ]]; then
    mount -t tmpfs -o mode=755 tmpfs /run && mkdir -m 755 /run/sshd || fail "cannot make /run/sshd"
  fi
  local k="$WORK/ssh" sshd_port=2222 sshd=/usr/sbin/sshd
  mkdir -m 700 "$k"
  ssh-keygen -q -t ed25519 -N '' -f "$k/host" && ssh-keygen -q -t ed25519 -N '' -f "$k/id" || fail "ssh-keygen"
  cp "$k/id.pub" "$k/authorized_keys"
  printf '%s\n' "ListenAddress 127.0.0.1:$sshd_port" "HostKey $k/host" "AuthorizedKeysFile $k/authorized_keys" \
    "PidFile $k/sshd.pid" "PubkeyAuthentication yes" "PasswordAuthentication no" \
    "KbdInteractiveAuthentication no" "UsePAM no" "StrictModes no" "PermitRootLogin prohibit-password" \
    "AllowTcpForwarding local" "LogLevel DEBUG1" >"$k/sshd_config"
  echo "[127.0.0.1]:$sshd_port $(cut -d' ' -f1,2 "$k/host.pub")" >"$k/known_hosts"
  printf '%s\n' "Host *" "  IdentityFile $k/id" "  IdentitiesOnly yes" "  UserKnownHostsFile $k/known_hosts" \
    "  GlobalKnownHostsFile /dev/null" "  StrictHostKeyChecking yes" >"$k/ssh_config"
  "$sshd" -D -e -f "$k/sshd_config" 2>"$WORK/sshd.log" &
  FLEET_PIDS+=($!)
  local i
  for i in $(seq 1 200); do (exec 3<>"/dev/tcp/127.0.0.1/$sshd_port") 2>/dev/null && break; sleep 0.05; done
  (umask 077 && echo tunnel-pw >"$WORK/site.pw")
  start_sim --password-file "$WORK/site.pw"
  local tunnel="ssh://$(id -un)@127.0.0.1:$sshd_port"
  local T=(--ssh-config "$k/ssh_config" --tunnel "$tunnel" --password-file "$WORK/site.pw")
  # One command through the tunnel: the channels reach vyxsim through sshd.
  expect 0 "${T[@]}" ping
  contains "$OUT" "connected to 127.0.0.1:$PORT"
  grep -q "Accepted publickey" "$WORK/sshd.log" || fail "sshd did not log a key login: $(tail "$WORK/sshd.log")"
  grep -q "port $PORT" "$WORK/sshd.log" || fail "sshd did not forward to vyxsim: $(tail "$WORK/sshd.log")"
  CTL_TIMEOUT=30 expect 0 "${T[@]}" download "$WORK/through.db"
  [[ "$(md5 "$WORK/through.db")" == "$(md5 "$WORK/root/config/vyx.db")" ]] || fail "the download through the tunnel differs"
  pgrep -f "127.0.0.1:[0-9]*:127.0.0.1:$PORT" >/dev/null && fail "vyxctl left its ssh running"
  # A host key that is not known, and a key that is not authorised, stop it with ssh's reason.
  : >"$k/known_hosts.empty"
  sed "s|$k/known_hosts|$k/known_hosts.empty|" "$k/ssh_config" >"$k/ssh_config.unknown"
  expect 3 --ssh-config "$k/ssh_config.unknown" --tunnel "$tunnel" ping
  contains "$ERR" "Host key verification failed"
  ssh-keygen -q -t ed25519 -N '' -f "$k/other"
  sed "s|IdentityFile $k/id|IdentityFile $k/other|" "$k/ssh_config" >"$k/ssh_config.other"
  expect 3 --ssh-config "$k/ssh_config.other" --tunnel "$tunnel" ping
  contains "$ERR" "Permission denied"
  expect 2 --tunnel "ssh://-oProxyCommand=x@127.0.0.1" ping
  contains "$ERR" "ssh://user@host[:port]"
  # The fleet: a site with a tunnel of its own.
  printf '{"sites": [{"name": "far", "host": "127.0.0.1", "port": %s, "passwordFile": "site.pw", "tunnel": "%s"}]}' \
    "$PORT" "$tunnel" >"$WORK/sites.json"
  "$VYXCTL" -t 30 --ssh-config "$k/ssh_config" fleet backup --sites "$WORK/sites.json" --vault "$WORK/v" \
    >"$WORK/o" 2>"$WORK/e" || fail "fleet backup through the tunnel: $(cat "$WORK/o" "$WORK/e")"
  contains "$(cat "$WORK/o")" "1 of 1 sites backed up"
  [[ $(grep -c "Accepted publickey" "$WORK/sshd.log") -ge 3 ]] || fail "the fleet did not log in through sshd"
  desk_through_tunnel "$k/ssh_config" "$tunnel"
  return 0
}

# The desktop manager, logging in at start through the tunnel: both channels reach vyxsim
# through sshd, and the manager's ssh ends with it.
desk_through_tunnel() {
  if [[ -z "${VYXDESK:-}" ]]; then
    echo "vyxdesk not built: its tunnel is not checked"
    return 0
  fi
  local config=$1 tunnel=$2 keys logins desk
  keys=$(grep -c "Accepted publickey" "$WORK/sshd.log")
  logins=$(grep -c "logged in" "$SIM_LOG")
  mkdir -p "$WORK/run" && chmod 700 "$WORK/run"
  (cd "$WORK" && QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$WORK/xdg" XDG_RUNTIME_DIR="$WORK/run" \
    VYXDESK_PASSWORD=tunnel-pw VYXDESK_QUIT_AFTER_MS=10000 \
    exec "$VYXDESK" --connect "admin@127.0.0.1:$PORT" --tunnel "$tunnel" --ssh-config "$config" \
    >"$WORK/desk.out" 2>"$WORK/desk.err") &
  desk=$!
  for _ in $(seq 1 400); do
    [[ $(grep -c "logged in" "$SIM_LOG") -ge $((logins + 2)) ]] && break
    kill -0 "$desk" 2>/dev/null || break
    sleep 0.05
  done
  [[ $(grep -c "logged in" "$SIM_LOG") -ge $((logins + 2)) ]] ||
    fail "vyxdesk did not log in both channels through the tunnel: $(tail -20 "$WORK/desk.err")"
  [[ $(grep -c "Accepted publickey" "$WORK/sshd.log") -gt $keys ]] || fail "vyxdesk did not go through sshd"
  wait "$desk" || fail "vyxdesk ended with an error: $(tail -20 "$WORK/desk.err")"
  pgrep -f "127.0.0.1:[0-9]*:127.0.0.1:$PORT" >/dev/null && fail "vyxdesk left its ssh running"
  return 0
}

declare -F "case_$CASE" >/dev/null || { echo "unknown case $CASE" >&2; exit 2; }
"case_$CASE"
echo "PASS [$CASE]"
