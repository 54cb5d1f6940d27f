#!/usr/bin/env bash
# Request-cost benchmark: CPU time per request of velmor-central against the
# floor (velmor-bench-floor, the same event-loop skeleton doing no work), in
# alternating runs (floor, server, floor, server, ...) because the machine is
# shared and noisy. For each scenario it prints the medians over the pairs of
# both servers' req/s and CPU microseconds per request (user+system time from
# /proc/PID/stat over the run, divided by the requests completed), the
# efficiency (floor CPU/req / server CPU/req, median of the pairs, with every
# pair's value beside it), and the server's p50/p99 latency.
#
#   scripts/bench.sh [-d SECONDS] [-p PAIRS] [-c CONNECTIONS] [-S] [SCENARIO...]
#
# The server runs without SYNC=1& (the cost per request as it always was);
# -S runs it with SYNC=1&, every reply held until its data is on the disk
# (target: add_department at 32 connections at least half its req/s
# without -S).
#
# Defaults: 5 s runs, 3 pairs, 32 connections in flight, every scenario:
# liveness get_UID64 check_user get_node get_dep_data add_department chk_scode
# blocks. The blocks scenario is of another kind: the latency of liveness and
# check_user for other clients (4 connections in flight), without and then
# with four clients looping block_department against a local server that
# never answers; target: p99 with the blocks at most 2 ms above p99 without.
# A scenario whose set-up request is not answered as it should be (for
# example "I love you." from a server that does not serve the operation yet),
# or whose run gets a single wrong reply or transport error, is reported as
# FAILED and gets no figures. Everything runs on 127.0.0.1, in a scratch
# working directory that is removed at the end. Run as root (the server
# requires it); by hand only, never as a pass/fail test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=5
pairs=3
conns=32
sync=0
while getopts "d:p:c:Sh" opt; do
  case $opt in
    d) seconds=$OPTARG ;;
    p) pairs=$OPTARG ;;
    c) conns=$OPTARG ;;
    S) sync=1 ;;
    *) sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
all=(liveness get_UID64 check_user get_node get_dep_data add_department chk_scode blocks)
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=("${all[@]}")
for s in "${scenarios[@]}"; do
  [[ " ${all[*]} " == *" $s "* ]] || { echo "unknown scenario: $s (known: ${all[*]})" >&2; exit 2; }
done
if [ "$(id -u)" -ne 0 ]; then
  echo "bench.sh: velmor-central runs only as root" >&2
  exit 1
fi

cmake -S . -B build >/dev/null
cmake --build build -j2 --target velmor-central velmor-cli velmor-local velmor-bench-floor velmor-bench-load >/dev/null

load=$root/build/velmor-bench-load
cli=$root/build/velmor-cli
hz=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/velmor-bench-XXXXXX)
server_pid=""
floor_pid=""
extra_pids=""
cleanup() {
  set +e  # a killed server's status must not stop the cleaning
  for pid in $extra_pids $server_pid $floor_pid; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A port nobody listens on (the kernel's ephemeral range is left to the load).
free_port() {
  local p
  for p in $(shuf -i 20000-30000 -n 50); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return
    fi
  done
  echo "bench.sh: no free port found" >&2
  exit 1
}

# --- working directory and servers ------------------------------------------
scripts/prepare-workdir.sh "$work"
# The fixed letter levels of the UID32 base and the start folder, which only a
# restore lays down otherwise.
(cd "$work/DISK/UID32BASE" && mkdir -p {A..Z}/{A..Z}/{A..Z})
(cd "$work/DISK/START" && mkdir -p {A..Z}/{A..Z}/{A..Z})
server_port=$(free_port)
floor_port=$(free_port)
while [ "$floor_port" = "$server_port" ]; do floor_port=$(free_port); done
sed -i "s/^PORT_CENTRAL=.*/PORT_CENTRAL=$server_port\&/" "$work/velmorTAVR.config"
if [ "$sync" = 1 ]; then
  echo "server configuration: SYNC=1&"
else
  sed -i '/^SYNC=/d' "$work/velmorTAVR.config"
  echo "server configuration: without SYNC"
fi

(cd "$work" && exec "$root/build/velmor-central" >central.log 2>&1) &
server_pid=$!
"$root/build/velmor-bench-floor" "$floor_port" >"$work/floor.log" 2>&1 &
floor_pid=$!
for _ in $(seq 100); do
  if "$load" -p "$server_port" -m 'TEST=H00&' --show >/dev/null 2>&1 &&
     "$load" -p "$floor_port" -m 'TEST=H00&' --show >/dev/null 2>&1; then
    break
  fi
  sleep 0.1
done

# --- set-up through real requests -------------------------------------------
ask() { "$cli" -p "$server_port" -t 10 --raw "$1" 2>/dev/null | head -n 1; }
field() { sed -n "s/.*[&]$2=\([^&]*\)&.*/\1/p; s/^$2=\([^&]*\)&.*/\1/p" <<<"$1" | head -n 1; }

# Per scenario: the request, and how its replies are checked (exact text, or
# prefix and length for replies with fresh identifiers or a DATE).
declare -A message expect prefix length why
nip=N1234563218    # a valid tax-number field
pesel=44051401359  # a valid PESEL
dep_read=bench_read   # DEP of the department the queries read ('_' occurs in no identifier)
dep_add=bench_add     # DEP the add scenario registers again and again

setup_failed() { why[$1]="set-up: $2"; }

setup() {
  message[liveness]='TEST=H00&'
  expect[liveness]="REPLY=velmorTAVR_CENTRAL&"
  message[get_UID64]='OP=get_UID64&'
  prefix[get_UID64]="OP=get_UID64&UID32="
  length[get_UID64]=90

  local dept uid32 euid
  dept=$(ask "OP=add_department&NAME=Bench&DEP=$dep_read&NIP=$nip&REGON=null&PUID=9000&PORTP=9001&PORTQ=9002&NODES=1&")
  if [[ $dept != RE=add_department\&STATUS=done\&* ]]; then
    for s in check_user get_node get_dep_data add_department; do setup_failed $s "add_department answered \"$dept\""; done
  else
    uid32=$(field "$dept" UID32)
    euid=$(field "$dept" EUID)
    local add_reply
    message[add_department]="OP=add_department&NAME=Bench&DEP=$dep_add&NIP=$nip&REGON=null&PUID=9000&PORTP=9001&PORTQ=9002&NODES=1&"
    add_reply=$(ask "${message[add_department]}")
    if [[ $add_reply == RE=add_department\&STATUS=done\&*DATE=* ]]; then
      # Everything up to the DATE field is the same on every reply.
      prefix[add_department]="${add_reply%%DATE=*}DATE="
      length[add_department]=${#add_reply}
    else
      setup_failed add_department "add_department answered \"$add_reply\""
    fi

    local ip
    ip=$(ask "OP=add_ip_node&UID32=$uid32&IPNODE=127.0.0.1&")
    [[ $ip == RE=add_ip_node\&STATUS=done\&* ]] || ip_failed="add_ip_node answered \"$ip\""
    local reply
    for op in get_node get_dep_data; do
      message[$op]="OP=$op&UID32=$uid32&DEP=$dep_read&"
      if [ -n "${ip_failed:-}" ]; then setup_failed $op "$ip_failed"; continue; fi
      reply=$(ask "${message[$op]}")
      if [[ $reply == RE=$op\&STATUS=done\&* ]]; then
        expect[$op]=$reply  # nothing changes this department meanwhile
      else
        setup_failed $op "$op answered \"$reply\""
      fi
    done

    local user uidp euidp
    user=$(ask "OP=add_usr&UID32=$uid32&EUID=$euid&UIDP=null&EUIDP=null&PESEL=$pesel&DEP=$dep_read&NAME=BenchUser&STAT=user&")
    if [[ $user == RE=add_usr\&STATUS=done\&* ]]; then
      uidp=$(field "$user" UIDP)
      euidp=$(field "$user" EUIDP)
      message[check_user]="OP=check_user&UID32=$uid32&EUID=$euid&UIDP=$uidp&EUIDP=$euidp&"
      expect[check_user]="RE=check_user&STATUS=done&"
      reply=$(ask "${message[check_user]}")
      [ "$reply" = "RE=check_user&STATUS=done&" ] || setup_failed check_user "check_user answered \"$reply\""
    else
      setup_failed check_user "add_usr answered \"$user\""
    fi
  fi

  local code_reply code
  code_reply=$(ask 'OP=get_start_code&')
  code=$(field "$code_reply" CODE)
  if [[ $code_reply == RE=get_start_code\&CODE=* && -n $code && $code != null ]]; then
    message[chk_scode]="OP=chk_scode&CODE=$code&"
    expect[chk_scode]="RE=chk_scode&STAT=done&"
  else
    setup_failed chk_scode "get_start_code answered \"$code_reply\""
  fi
}

# --- measuring ---------------------------------------------------------------
# The whole process (every thread, kernel workers of the process included,
# those that ended too), and its main thread alone: what the process hands
# to other threads shows as the difference.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
main_ticks() { awk '{print $14 + $15}' "/proc/$1/task/$1/stat"; }

# run PID PORT CHECK...: one load run; prints "requests mismatches errors rps
# p50 p99 cpu_us_per_req main_thread_us_per_req".
run() {
  local pid=$1 port=$2 msg=$3
  shift 3
  local before after mbefore mafter out
  before=$(cpu_ticks "$pid")
  mbefore=$(main_ticks "$pid")
  out=$("$load" -p "$port" -c "$conns" -d "$seconds" -m "$msg" "$@" 2>"$work/load.err")
  after=$(cpu_ticks "$pid")
  mafter=$(main_ticks "$pid")
  awk -v out="$out" -v b="$before" -v a="$after" -v mb="$mbefore" -v ma="$mafter" -v hz="$hz" 'BEGIN {
    n = split(out, kv, /[ =]/)
    for (i = 1; i < n; i += 2) v[kv[i]] = kv[i + 1]
    cpu = (v["requests"] > 0 ? (a - b) * 1e6 / hz / v["requests"] : 0)
    mcpu = (v["requests"] > 0 ? (ma - mb) * 1e6 / hz / v["requests"] : 0)
    printf "%d %d %d %d %d %d %.2f %.2f\n", v["requests"], v["mismatches"], v["errors"], v["rps"], v["p50_us"], v["p99_us"], cpu, mcpu
  }'
}

median() { sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

declare -A target=([liveness]=0.95 [get_UID64]=0.95 [check_user]=0.85 [get_node]=0.85 [get_dep_data]=0.85
                   [chk_scode]=0.85 [add_department]=0.60)

echo "velmor request-cost benchmark, $(date '+%Y-%m-%d %H:%M')"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "runs: $pairs pairs (floor, server) of ${seconds}s, $conns connections in flight; CPU = user+system of the server process"
setup
printf '\n%-15s %9s %9s %9s %9s %7s %7s %7s %7s %7s %7s  %-19s %s\n' scenario "floor/s" "server/s" "floor us" "server us" "main us" "other us" eff target p50us p99us "eff per pair" verdict
for s in "${scenarios[@]}"; do
  [ "$s" = blocks ] && continue
  if [ -n "${why[$s]:-}" ]; then
    printf '%-15s FAILED (%s)\n' "$s" "${why[$s]}"
    continue
  fi
  if [ -n "${expect[$s]:-}" ]; then chk=(--expect "${expect[$s]}"); else chk=(--prefix "${prefix[$s]}" --length "${length[$s]}"); fi
  fchk=(--any)  # the floor answers zeros: only the 1024 bytes are checked
  f_rps=() s_rps=() f_cpu=() s_cpu=() s_main=() s_other=() effs=() p50=() p99=()
  failed=""
  for ((k = 0; k < pairs; ++k)); do
    read -r fn fm fe frps _ _ fcpu _ < <(run "$floor_pid" "$floor_port" "${message[$s]}" "${fchk[@]}")
    read -r sn sm se srps sp50 sp99 scpu smain < <(run "$server_pid" "$server_port" "${message[$s]}" "${chk[@]}")
    if [ "$sm" -ne 0 ] || [ "$se" -ne 0 ] || [ "$sn" -eq 0 ]; then
      failed="$sm wrong replies and $se errors in $sn requests; $(head -c 200 "$work/load.err")"
      break
    fi
    if [ "$fe" -ne 0 ] || [ "$fn" -eq 0 ]; then
      failed="the floor had $fe errors in $fn requests"
      break
    fi
    f_rps+=("$frps") s_rps+=("$srps") f_cpu+=("$fcpu") s_cpu+=("$scpu") p50+=("$sp50") p99+=("$sp99")
    s_main+=("$smain") s_other+=("$(awk -v c="$scpu" -v m="$smain" 'BEGIN { printf "%.2f", c - m }')")
    effs+=("$(awk -v f="$fcpu" -v c="$scpu" 'BEGIN { printf "%.2f", (c > 0 ? f / c : 0) }')")
  done
  if [ -n "$failed" ]; then
    printf '%-15s FAILED (%s)\n' "$s" "$failed"
    continue
  fi
  eff=$(printf '%s\n' "${effs[@]}" | median)
  verdict=$(awk -v e="$eff" -v t="${target[$s]}" 'BEGIN { print ((e >= t) ? "meets target" : "below target") }')
  printf '%-15s %9.0f %9.0f %9.1f %9.1f %7.1f %7.1f %7.2f %7s %7.0f %7.0f  %-19s %s\n' "$s" \
    "$(printf '%s\n' "${f_rps[@]}" | median)" "$(printf '%s\n' "${s_rps[@]}" | median)" \
    "$(printf '%s\n' "${f_cpu[@]}" | median)" "$(printf '%s\n' "${s_cpu[@]}" | median)" \
    "$(printf '%s\n' "${s_main[@]}" | median)" "$(printf '%s\n' "${s_other[@]}" | median)" \
    "$eff" ">=${target[$s]}" "$(printf '%s\n' "${p50[@]}" | median)" "$(printf '%s\n' "${p99[@]}" | median)" \
    "$(IFS=' '; echo "${effs[*]}")" "$verdict"
done

# --- other clients' latency while blocks wait on a silent local server -------
# latency MESSAGE CHECK...: "p50 p99" of the server over one run.
latency() {
  local msg=$1
  shift
  "$load" -p "$server_port" -c 4 -d "$seconds" -m "$msg" "$@" 2>>"$work/load.err" |
    awk '{ n = split($0, kv, /[ =]/); for (i = 1; i < n; i += 2) v[kv[i]] = kv[i + 1]; print v["p50_us"], v["p99_us"], v["errors"] + v["mismatches"] }'
}
if [[ " ${scenarios[*]} " == *" blocks "* ]]; then
  echo
  silent_port=$(free_port)
  "$root/build/velmor-local" -b 127.0.0.1 -p "$silent_port" --silent >"$work/silent.log" 2>&1 &
  extra_pids="$extra_pids $!"
  # Four firms, one block loop each: four blocks wait at once (blocks of one
  # firm would wait for each other).
  blocked_nips=(N1111111111 N2222222222 N3333333333 N4444444444)
  for blocked_nip in "${blocked_nips[@]}"; do
    firm=$(ask "OP=add_department&NAME=Blocked&DEP=bench_blk&NIP=$blocked_nip&REGON=null&PUID=$silent_port&PORTP=1&PORTQ=1&NODES=1&")
    ask "OP=add_ip_node&UID32=$(field "$firm" UID32)&IPNODE=127.0.0.1&" >/dev/null
  done
  printf '%-15s %9s %9s %9s %9s %9s  %s\n' "other clients" "p50 us" "p99 us" "p50 us" "p99 us" "p99 +us" verdict
  printf '%-15s %19s %19s\n' "" "without blocks" "4 block loops"
  declare -A before_p50 before_p99
  for s in liveness check_user; do
    if [ -n "${why[$s]:-}" ]; then continue; fi
    if [ -n "${expect[$s]:-}" ]; then chk=(--expect "${expect[$s]}"); else chk=(--prefix "${prefix[$s]}" --length "${length[$s]}"); fi
    read -r before_p50[$s] before_p99[$s] _ < <(latency "${message[$s]}" "${chk[@]}")
  done
  loops=""
  for blocked_nip in "${blocked_nips[@]}"; do
    (while :; do "$cli" -p "$server_port" -t 40 --raw "OP=block_department&DEP=null&NIP=$blocked_nip&REGON=null&" >/dev/null 2>&1; done) &
    loops="$loops $!"
  done
  extra_pids="$loops $extra_pids"
  sleep 1
  for s in liveness check_user; do
    if [ -n "${why[$s]:-}" ]; then printf '%-15s FAILED (%s)\n' "$s" "${why[$s]}"; continue; fi
    if [ -n "${expect[$s]:-}" ]; then chk=(--expect "${expect[$s]}"); else chk=(--prefix "${prefix[$s]}" --length "${length[$s]}"); fi
    read -r p50 p99 bad < <(latency "${message[$s]}" "${chk[@]}")
    delta=$((p99 - before_p99[$s]))
    verdict=$([ "$bad" -eq 0 ] && [ "$delta" -le 2000 ] && echo "meets target" || echo "below target")
    [ "$bad" -eq 0 ] || verdict="FAILED ($bad wrong replies or errors)"
    printf '%-15s %9d %9d %9d %9d %9d  %s\n' "$s" "${before_p50[$s]}" "${before_p99[$s]}" "$p50" "$p99" "$delta" "$verdict"
  done
  printf 'blocks waiting on the silent local server at the end: %s\n' "$(pgrep -c -P "$server_pid" || true)"
  for pid in $loops; do kill "$pid" 2>/dev/null; done
fi
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
