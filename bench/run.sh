#!/usr/bin/env bash
# Benchmarks the launcher on loopback against the test HTTP server.
#
#   bench/run.sh [build-dir]        (default: build/, as left by scripts/build.sh)
#
# Prints a table at the end; raw numbers and logs go to bench/out/.
# See bench/README.md for what is measured and how.
#
# Knobs (environment): BENCH_ROUNDS (default 7) alternated rounds per front end,
# BENCH_ETAG_RUNS (default 10), BENCH_DROP_ROUNDS (default 3), BENCH_MEMORY_RUNS (default 2) runs per size,
# BENCH_FRONT_ENDS (default "plain terminal window"), BENCH_RUN_LIMIT (default
# 30) seconds after which one run counts as hung and is ended, BENCH_LINK_RATE
# (default 100000000) bytes per second of the slower link in measurement 6.
set -euo pipefail
export LC_ALL=C

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$bench_dir")
build_arg=${1:-build}
if [ -d "$build_arg" ]; then
  build_dir=$(cd "$build_arg" && pwd)
elif [ -d "$root/$build_arg" ]; then
  build_dir=$(cd "$root/$build_arg" && pwd)
else
  echo "No build directory '$build_arg'. Build first: scripts/build.sh (or BUILD_DIR=<dir> scripts/build.sh)." >&2
  exit 2
fi
if [ ! -x "$build_dir/launcher" ]; then
  echo "No launcher in $build_dir. Build first: BUILD_DIR=$build_arg scripts/build.sh" >&2
  exit 2
fi

rounds=${BENCH_ROUNDS:-7}
etag_runs=${BENCH_ETAG_RUNS:-10}
drop_rounds=${BENCH_DROP_ROUNDS:-3}
memory_runs=${BENCH_MEMORY_RUNS:-2}
front_ends=${BENCH_FRONT_ENDS:-plain terminal window}
run_limit=${BENCH_RUN_LIMIT:-30}   # seconds one run may take before it counts as hung
big_mib=256
small_mib=32
stall_seconds=20      # the server's pause after the response headers
stall_settle=5        # seconds after the request before the CPU window opens
stall_window=10       # length of the CPU window

out=$bench_dir/out
work=$out/work
logs=$out/logs

say() { printf '%s\n' "$*" >&2; }
section() { printf '\n== %s\n' "$*" >&2; }

# --- What the benchmark needs ------------------------------------------------

ensure_packages() {
  # package:command pairs; xvfb is wanted, not required (window runs are skipped without it).
  local wanted=(curl:curl unzip:unzip zip:zip python3:python3 time:/usr/bin/time bsdutils:script procps:ps xvfb:Xvfb
                minisign:minisign)
  local missing=() pair
  for pair in "${wanted[@]}"; do
    command -v "${pair#*:}" >/dev/null 2>&1 || missing+=("${pair%%:*}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "Installing: ${missing[*]}"
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    || say "warning: could not install some of: ${missing[*]}"
  for pair in curl:curl unzip:unzip zip:zip python3:python3 time:/usr/bin/time bsdutils:script procps:ps; do
    command -v "${pair#*:}" >/dev/null 2>&1 || { say "missing ${pair#*:} (package ${pair%%:*})"; exit 2; }
  done
}
ensure_packages

# Loopback only, and no proxy in the way of either contender.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY ftp_proxy FTP_PROXY
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
unset ZX_INTERNAL_DOWNLOAD_TIMEOUT ZX_INTERNAL_DOWNLOAD_RETRIES ZX_INTERNAL_CA_BUNDLE __ZX_BOOTSTRAP_INSTALLER_UNITTEST__ ZX_INSTALLER_UI ZX_INTERNAL_INSTALL_AGENT_URL
unset BENCH_STAMP BENCH_HWM DISPLAY
export SHELL=/bin/sh   # what script(1) runs its command with

# --- Fixtures ----------------------------------------------------------------

mkdir -p "$out" "$logs"
notes=$out/notes.txt
: > "$notes"
rm -rf "$work"
mkdir -p "$work"

# tree <pid>: the pid and all its descendants, parents first.
tree() {
  local child
  echo "$1"
  for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do tree "$child"; done
}
# kill_tree <pid>: SIGKILL to a process that this script started and to all
# of its descendants, listed before any of them dies (an orphan would escape).
kill_tree() {
  local pids
  pids=$(tree "$1")
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
}

server_pid='' xvfb_pid='' bg_pids=() running_pid=''
cleanup() {
  local pid
  for pid in "${bg_pids[@]}" $running_pid; do kill_tree "$pid"; done
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The agent: does nothing (exit 0) unless the benchmark asks it to note the
# time it started (BENCH_STAMP) or the launcher's peak memory (BENCH_HWM).
agent_script=$(cat <<'EOF'
if [ -n "${BENCH_STAMP:-}" ]; then date +%s.%N > "$BENCH_STAMP"; fi
if [ -n "${BENCH_HWM:-}" ]; then
  # The launcher is an ancestor, blocked in waitpid() while this runs: its
  # VmHWM now is its peak over the whole run but the final clean-up.
  p=$PPID
  while [ -n "$p" ] && [ "$p" -gt 1 ]; do
    case $(readlink "/proc/$p/exe" 2>/dev/null) in
      */launcher) grep -E '^(VmHWM|VmRSS|RssAnon|RssFile):' "/proc/$p/status" > "$BENCH_HWM"; break ;;
    esac
    p=$(sed -n 's/^PPid:[[:space:]]*//p' "/proc/$p/status" 2>/dev/null)
  done
fi
exit 0
EOF
)

# make_agent <file> <MiB of random data, 0 for none>: made once, reused while
# the agent script stays the same.
make_agent() {
  local zip_file=$1 mib=$2 stamp="$1.install"
  if [ -f "$zip_file" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$agent_script" ]; then
    return 0
  fi
  say "Making $(basename "$zip_file") ($mib MiB of random data)..."
  local dir=$work/make-agent
  rm -rf "$dir" && mkdir -p "$dir"
  printf '%s\n' "$agent_script" > "$dir/install"
  local files=(install)
  if [ "$mib" -gt 0 ]; then
    head -c "${mib}M" /dev/urandom > "$dir/bulk.bin"
    files+=(bulk.bin)
  fi
  (cd "$dir" && zip -q -X -0 "$zip_file.part" "${files[@]}")
  mv "$zip_file.part" "$zip_file"
  printf '%s\n' "$agent_script" > "$stamp"
  rm -rf "$dir"
}
big_zip=$out/agent-${big_mib}.zip
small_zip=$out/agent-${small_mib}.zip
tiny_zip=$out/agent-tiny.zip
make_agent "$big_zip" "$big_mib"
make_agent "$small_zip" "$small_mib"
make_agent "$tiny_zip" 0

# A flat bundle: the launcher, its window module and a payload.
bundle=$work/bundle
mkdir -p "$bundle"
cp "$build_dir/launcher" "$bundle/"
[ -f "$build_dir/launcher-window.so" ] && cp "$build_dir/launcher-window.so" "$bundle/"
echo "payload" > "$bundle/bundle.zip"
launcher=$bundle/launcher
home=$work/home
scratch=$work/tmp
cache=$home/.kelvor/installagent/Q3071x/ostx86
mkdir -p "$home" "$scratch"

# The same bundle requiring signed agents (a throwaway key), and the big
# agent's signature beside it, where the test server serves it.
signed_bundle=
if command -v minisign >/dev/null 2>&1; then
  keys=$work/keys
  mkdir -p "$keys"
  minisign -G -W -p "$keys/bench.pub" -s "$keys/bench.key" >/dev/null
  minisign -S -s "$keys/bench.key" -m "$big_zip" -x "$big_zip.minisig" -t "benchmark agent" >/dev/null
  signed_bundle=$work/signed-bundle
  cp -r "$bundle" "$signed_bundle"
  cp "$keys/bench.pub" "$signed_bundle/InstallAgent.pub"
else
  echo "signed downloads: not measured (no minisign)" >> "$notes"
fi

# Starts bash's EPOCHREALTIME clock right before exec, for the ETag runs.
stamp_exec=$work/stamp-exec.sh
# shellcheck disable=SC2016
printf '%s\n' '#!/bin/bash' 'printf "%s\n" "$EPOCHREALTIME" > "$BENCH_T0"' 'exec "$@"' > "$stamp_exec"

# The test server: it serves until its standard input (our coproc pipe) closes.
# ensure_server starts it again, with a note, should it have gone meanwhile.
base=
start_server() {
  coproc SERVER { exec python3 "$root/tests/support/http_test_server.py" 2>>"$logs/server.log"; }
  # shellcheck disable=SC2153 # SERVER_PID comes from coproc
  server_pid=$SERVER_PID
  local port=
  read -r _ port <&"${SERVER[0]}" || true
  [ -n "$port" ] || { say "The test server did not start (see $logs/server.log)"; exit 1; }
  base=http://127.0.0.1:$port
  say "Test server on $base"
}
ensure_server() { # <where>
  kill -0 "$server_pid" 2>/dev/null && return 0
  local status=0
  wait "$server_pid" 2>/dev/null || status=$?
  echo "the test server had ended (status $status) before $1; started again" >> "$notes"
  say "  the test server had ended (status $status); starting it again"
  start_server
}
: > "$logs/server.log"
start_server

# The server's request records (JSON), "[]" when it cannot be asked.
stats() { curl -s --max-time 5 --noproxy '*' "$base/__stats" || echo '[]'; }
reset_stats() { curl -s --max-time 5 --noproxy '*' "$base/__reset" >/dev/null || true; }
count_requests() { stats | python3 -c 'import json,sys
try: print(len(json.load(sys.stdin)))
except ValueError: print(0)'; }
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }

# The window front end needs an X server: our own Xvfb, on a free display.
display=
start_xvfb() {
  command -v Xvfb >/dev/null 2>&1 || { say "Xvfb is not installed"; return 1; }
  # A display number of our own, away from the low ones other tools pick.
  local first=$((100 + $$ % 300)) n fd_file=$work/xvfb-display
  for n in $(seq "$first" $((first + 20))); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    : > "$fd_file"
    Xvfb ":$n" -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$fd_file" >"$logs/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 50); do
      [ -s "$fd_file" ] && { display=:$n; return 0; }
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  done
  say "Xvfb did not start (see $logs/xvfb.log)"
  return 1
}

# --- Running the contenders --------------------------------------------------

# ui_env <front end>: the variables a launcher run gets for that front end.
ui_env() {
  case $1 in
    window) echo "ZX_INSTALLER_UI=window DISPLAY=$display" ;;
    *) echo "ZX_INSTALLER_UI=$1" ;;
  esac
}

# in_front_end <front end> <log> <command...>: runs the command the way that
# front end's case needs (a pseudo-terminal for "terminal"), stdin from
# /dev/null, everything it prints into <log>. Returns its exit status, with
# started_at/ended_at (EPOCHREALTIME) around it. Every run is bounded: after
# $run_limit seconds a watchdog kills the command and all its descendants
# (SIGTERM would not do: a launcher caught in a busy loop never gets to
# handle it) and the status is 124.
started_at='' ended_at='' hung_info=''
in_front_end() {
  local fe=$1 log=$2; shift 2
  local rc=0 pid watchdog flag=$work/watchdog.flag
  rm -f "$flag"
  started_at=$EPOCHREALTIME
  if [ "$fe" = terminal ]; then
    script -qfec "$(printf '%q ' "$@")" /dev/null < /dev/null > "$log" 2>&1 &
  else
    "$@" < /dev/null > /dev/null 2> "$log" &
  fi
  pid=$!
  running_pid=$pid
  (
    sleep "$run_limit"
    # What the processes were doing (state, CPU time used), then the end.
    pids=$(tree "$pid")
    # shellcheck disable=SC2086
    ps -o pid=,stat=,time=,comm= -p "$(echo $pids | tr ' ' ,)" > "$flag" 2>/dev/null || echo "?" > "$flag"
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
  ) &
  watchdog=$!
  { wait "$pid"; } 2>/dev/null || rc=$?
  ended_at=$EPOCHREALTIME
  running_pid=
  kill_tree "$watchdog"
  { wait "$watchdog"; } 2>/dev/null || true
  hung_info=
  if [ -f "$flag" ]; then
    rc=124
    hung_info=$(awk '$4 == "launcher" { printf "%s(state %s, %s of CPU) ", $4, $2, $3 }' "$flag")
  fi
  return $rc
}
timed_out() { [ "$1" = 124 ]; }

fresh_cache() {
  rm -rf "$home/.kelvor" "$work/oneliner"
  find "$scratch" -mindepth 1 -delete
  sync
}

elapsed=
run_launcher() { # <front end> <url> <log>
  local fe=$1 url=$2 log=$3 rc=0
  local cmd=(env HOME="$home" TMPDIR="$scratch" ZX_INTERNAL_INSTALL_AGENT_URL="$url")
  # shellcheck disable=SC2207
  cmd+=($(ui_env "$fe") "$launcher")
  in_front_end "$fe" "$log" "${cmd[@]}" || rc=$?
  elapsed=$(seconds_between "$started_at" "$ended_at")
  # Exit status 0 without an unpacked, stamped agent counts as a failure (99).
  if [ "$rc" -eq 0 ] && { [ ! -f "$cache/installagent/install" ] || [ ! -f "$cache/.validatestring" ]; }; then rc=99; fi
  return "$rc"
}

run_signed() { # <front end> <url> <log>: run_launcher from the bundle that requires a signature
  local launcher=$signed_bundle/launcher
  run_launcher "$@"
}

run_oneliner() { # <front end> <url> <log>
  local fe=$1 url=$2 log=$3 rc=0
  local d=$work/oneliner/D x=$work/oneliner/X
  mkdir -p "$work/oneliner"
  local line
  line="curl -s -o $(printf %q "$x") $(printf %q "$url") && unzip -qq -o $(printf %q "$x") -d $(printf %q "$d") && sh $(printf %q "$d/install") -installbundle $(printf %q "$bundle/bundle.zip")"
  local cmd=(env)
  # shellcheck disable=SC2207
  cmd+=($(ui_env "$fe") sh -c "$line")
  in_front_end "$fe" "$log" "${cmd[@]}" || rc=$?
  elapsed=$(seconds_between "$started_at" "$ended_at")
  if [ "$rc" -eq 0 ] && [ ! -f "$d/install" ]; then rc=99; fi
  return "$rc"
}

# --- Which front ends work ---------------------------------------------------

available=()
for fe in $front_ends; do
  if [ "$fe" = window ] && ! start_xvfb; then
    echo "window: skipped (no X server: Xvfb missing or did not start)" >> "$notes"
    continue
  fi
  if [ "$fe" = window ] && [ ! -f "$bundle/launcher-window.so" ]; then
    echo "window: skipped ($build_dir has no launcher-window.so)" >> "$notes"
    continue
  fi
  # Up to two tries: a window that could not be made once is tried again a
  # second later (the first failure is kept in the notes).
  for try in 1 2; do
    fresh_cache
    ensure_server "the probe of $fe"
    probe_rc=0
    run_launcher "$fe" "$base/agent.zip?file=$tiny_zip&etag=%22probe%22" "$logs/probe-$fe.log" || probe_rc=$?
    if [ "$try" = 1 ] && [ "$probe_rc" -eq 0 ] && grep -q "No download window" "$logs/probe-$fe.log"; then
      xvfb_state=alive
      kill -0 "$xvfb_pid" 2>/dev/null || xvfb_state=gone
      echo "$fe: first probe: $(grep -m1 'No download window' "$logs/probe-$fe.log") (Xvfb $display $xvfb_state); trying again" >> "$notes"
      if [ "$xvfb_state" = gone ]; then start_xvfb || break; fi
      sleep 1
      continue
    fi
    break
  done
  if [ "$probe_rc" -ne 0 ]; then
    echo "$fe: skipped (a probe run failed with status $probe_rc; see logs/probe-$fe.log)" >> "$notes"
  elif grep -q "No download window" "$logs/probe-$fe.log"; then
    echo "$fe: skipped (the window front end is not available: $(grep -m1 'No download window' "$logs/probe-$fe.log"))" >> "$notes"
  else
    available+=("$fe")
  fi
done
say "Front ends: ${available[*]:-none}"
[ -s "$notes" ] && cat "$notes" >&2
[ ${#available[@]} -gt 0 ] || { say "No front end works; nothing to measure."; exit 1; }

{
  echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet 2>/dev/null || echo ' (with local changes)')"
  echo "launcher: $build_dir/launcher ($(stat -c %y "$build_dir/launcher" | cut -d. -f1))"
  echo "kernel: $(uname -sr), cpus: $(nproc), memory: $(awk '/MemTotal/ {printf "%d MiB", $2/1024}' /proc/meminfo)"
  echo "curl: $(curl --version | head -1)"
  echo "unzip: $(unzip -v | head -1)"
  echo "rounds: $rounds, etag runs: $etag_runs, drop rounds: $drop_rounds, memory runs: $memory_runs"
} > "$out/environment.txt"

# --- 1. Download, unpack and start: launcher versus the one-liner ------------

section "1. ${big_mib} MiB agent: launcher (unsigned${signed_bundle:+, signed}) vs curl && unzip && sh ($rounds alternated rounds per front end)"
big_url() { echo "$base/agent.zip?file=$big_zip&etag=%22big%22"; }
ensure_server "measurement 1"
echo "front_end,round,contender,seconds,status" > "$out/roundtrip.csv"
# One unmeasured run of each, to warm the page cache and the binaries.
fresh_cache; run_launcher plain "$(big_url)" "$logs/warmup-launcher.log" || true
fresh_cache; run_oneliner plain "$(big_url)" "$logs/warmup-oneliner.log" || true
hung() { # <front end> <what>: notes a run that had to be ended
  echo "$1: $2 did not end within ${run_limit}s and was killed${hung_info:+ (it was: $hung_info)}; the rest of that measurement is skipped for $1" >> "$notes"
  say "  $1: $2 HUNG (killed after ${run_limit}s)"
}
for fe in "${available[@]}"; do
  for round in $(seq 1 "$rounds"); do
    for contender in launcher oneliner ${signed_bundle:+signed}; do
      fresh_cache
      ensure_server "measurement 1, $fe round $round"
      rc=0
      "run_$contender" "$fe" "$(big_url)" "$logs/roundtrip-$fe-$contender.log" || rc=$?
      echo "$fe,$round,$contender,$elapsed,$rc" >> "$out/roundtrip.csv"
      say "  $fe round $round $contender: ${elapsed}s (status $rc)"
      if timed_out "$rc"; then
        cp "$logs/roundtrip-$fe-$contender.log" "$logs/hung-roundtrip-$fe-$contender.log"
        hung "$fe" "in 1 (round trip) the $contender run of round $round (${big_mib} MiB)"
        continue 3
      fi
    done
  done
done

# --- 2. Peak memory of the launcher alone ------------------------------------

section "2. Peak memory of the launcher: ${small_mib} MiB vs ${big_mib} MiB archive"
# hwm_field <name>: a "Name:  123 kB" line of what the agent copied from /proc/<launcher>/status.
hwm_field() { sed -n "s/^$1:[[:space:]]*\([0-9]*\).*/\1/p" "$hwm" 2>/dev/null || true; }
echo "front_end,archive_mib,run,vmhwm_kib,rss_anon_kib,rss_file_kib,time_maxrss_kib,status" > "$out/memory.csv"
for fe in "${available[@]}"; do
  for mib in "$small_mib" "$big_mib"; do
    zip_file=$out/agent-${mib}.zip
    for run in $(seq 1 "$memory_runs"); do
      fresh_cache
      ensure_server "measurement 2, $fe"
      hwm=$work/hwm.txt time_file=$work/time.txt
      rm -f "$hwm" "$time_file"
      rc=0
      # shellcheck disable=SC2046 # ui_env gives VAR=value words
      in_front_end "$fe" "$logs/memory-$fe-$mib.log" \
        env HOME="$home" TMPDIR="$scratch" ZX_INTERNAL_INSTALL_AGENT_URL="$base/agent.zip?file=$zip_file&etag=%22m$mib%22" \
        BENCH_HWM="$hwm" $(ui_env "$fe") /usr/bin/time -f %M -o "$time_file" "$launcher" || rc=$?
      vmhwm=$(hwm_field VmHWM) anon=$(hwm_field RssAnon) file=$(hwm_field RssFile)
      tmax=$(tail -1 "$time_file" 2>/dev/null || true)
      echo "$fe,$mib,$run,${vmhwm:-},${anon:-},${file:-},${tmax:-},$rc" >> "$out/memory.csv"
      say "  $fe ${mib} MiB run $run: VmHWM ${vmhwm:-?} KiB, /usr/bin/time %M ${tmax:-?} KiB (status $rc)"
      if timed_out "$rc"; then hung "$fe" "in 2 (memory) a launcher run (${mib} MiB)"; continue 3; fi
    done
  done
done

# --- 3. CPU while the server stalls ------------------------------------------

section "3. CPU while the server stalls after the headers (stall=$stall_seconds, window ${stall_window}s)"
echo "front_end,cpu_ticks_used,window_seconds,cpu_seconds_per_second,sched_ns_used,wakeups,body_bytes_during_window,exit_status,last_line" > "$out/stall.csv"
clk_tck=$(getconf CLK_TCK)
# cpu_ticks <pid>: utime+stime (clock ticks, all threads) from /proc/<pid>/stat.
cpu_ticks() { { sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null || true; } | awk '{ print $12 + $13 }'; }
# sched_ns <pid>: time on the CPU in ns, all threads (finer than ticks).
sched_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { print s + 0 }'; }
# switches <pid>: context switches, all threads (each wake-up is at least one).
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^(non)?voluntary_ctxt_switches/ { s += $2 } END { print s + 0 }'
}
# The body bytes sent so far, or "gone" when the server no longer answers.
stall_body_bytes() {
  kill -0 "$server_pid" 2>/dev/null || { echo gone; return; }
  stats | python3 -c 'import json,sys; print(sum(x["bytes_sent"] for x in json.load(sys.stdin)))'
}
for fe in "${available[@]}"; do
  fresh_cache
  ensure_server "measurement 3, $fe"
  reset_stats
  log=$logs/stall-$fe.log pid_file=$work/launcher.pid
  rm -f "$pid_file"
  env_words=(HOME="$home" TMPDIR="$scratch" ZX_INTERNAL_DOWNLOAD_TIMEOUT=60
             ZX_INTERNAL_INSTALL_AGENT_URL="$base/agent.zip?file=$small_zip&stall=$stall_seconds&etag=%22s%22")
  # shellcheck disable=SC2207
  env_words+=($(ui_env "$fe"))
  if [ "$fe" = terminal ]; then
    script -qfec "echo \$\$ > $(printf %q "$pid_file"); exec $(printf '%q ' env "${env_words[@]}" "$launcher")" /dev/null \
      < /dev/null > "$log" 2>&1 &
    waiter=$!
  else
    env "${env_words[@]}" "$launcher" < /dev/null > /dev/null 2> "$log" &
    waiter=$!
    echo "$waiter" > "$pid_file"
  fi
  bg_pids+=("$waiter")
  for _ in $(seq 1 100); do
    [ -s "$pid_file" ] && [ "$(count_requests)" -gt 0 ] && break
    sleep 0.1
  done
  pid=$(cat "$pid_file")
  sleep "$stall_settle"
  if ! kill -0 "$pid" 2>/dev/null; then
    status=0; wait "$waiter" || status=$?
    echo "$fe,,,,,,,$status,\"ended before the measurement\"" >> "$out/stall.csv"
    echo "$fe: in 3 (stall) the launcher ended (status $status) before the measurement; see logs/stall-$fe.log" >> "$notes"
    bg_pids=()
    continue
  fi
  ticks0=$(cpu_ticks "$pid") ns0=$(sched_ns "$pid") sw0=$(switches "$pid") t0=$EPOCHREALTIME
  sleep "$stall_window"
  ticks1=$(cpu_ticks "$pid") ns1=$(sched_ns "$pid") sw1=$(switches "$pid") t1=$EPOCHREALTIME
  body=$(stall_body_bytes)
  if [ -z "$ticks1" ] || ! kill -0 "$pid" 2>/dev/null; then
    status=0; wait "$waiter" || status=$?
    echo "$fe,,,,,,$body,$status,\"ended during the measurement\"" >> "$out/stall.csv"
    echo "$fe: in 3 (stall) the launcher ended (status $status) during the measurement; see logs/stall-$fe.log" >> "$notes"
    bg_pids=()
    continue
  fi
  [ "$body" = 0 ] || echo "$fe: in 3 (stall) the server had sent $body body bytes (or had gone) by the end of the CPU window: not a stall throughout" >> "$notes"
  kill -TERM "$pid"
  status=
  for _ in $(seq 1 100); do
    if ! kill -0 "$waiter" 2>/dev/null; then
      status=0; wait "$waiter" || status=$?
      break
    fi
    sleep 0.1
  done
  if [ -z "$status" ]; then
    kill -KILL "$pid" 2>/dev/null || true
    status=0; wait "$waiter" || status=$?
    status="$status(killed: no exit 10 s after SIGTERM)"
  fi
  bg_pids=()
  last=$(tr '\r' '\n' < "$log" | sed 's/\x1b\[[0-9;]*[A-Za-z]//g' | { grep -v '^[[:space:]]*$' || true; } | tail -1)
  window=$(seconds_between "$t0" "$t1")
  per_second=$(awk -v a="$ticks0" -v b="$ticks1" -v w="$window" -v hz="$clk_tck" 'BEGIN { printf "%.4f", (b - a) / hz / w }')
  echo "$fe,$((ticks1 - ticks0)),$window,$per_second,$((ns1 - ns0)),$((sw1 - sw0)),$body,$status,\"${last//\"/\'}\"" >> "$out/stall.csv"
  say "  $fe: $((ticks1 - ticks0)) ticks in ${window}s = ${per_second} CPU s/s, $((sw1 - sw0)) context switches; exit $status: $last"
done

# --- 4. Start of the cached agent on an ETag match ---------------------------

section "4. Same ETag: from the launcher's exec to the cached agent's first line ($etag_runs runs per front end)"
echo "front_end,run,to_agent_seconds,to_exit_seconds,status" > "$out/etag.csv"
echo "[" > "$out/etag-requests.json"
first=1
# etag_runs <front end> <label> <launcher>: the runs of one row, under the label.
etag_runs() {
  # run_launcher starts $launcher: this row's, for the priming run too.
  local fe=$1 label=$2 launcher=$3 log=$logs/etag-${2//[ ,]/}
  fresh_cache
  ensure_server "measurement 4, $label"
  etag_url="$base/agent.zip?file=$big_zip&etag=%22same-$fe%22"
  rc=0
  # The cache is the same whichever front end made it: primed through plain,
  # so that this measurement does not depend on a download in $fe.
  run_launcher plain "$etag_url" "$log-prime.log" || rc=$?
  [ "$rc" -eq 0 ] || say "  $label: priming run failed (status $rc)"
  echo "from the priming run" > "$cache/installagent/marker"
  reset_stats
  for run in $(seq 1 "$etag_runs"); do
    t0_file=$work/t0 stamp=$work/stamp
    rm -f "$t0_file" "$stamp"
    rc=0
    # shellcheck disable=SC2046 # ui_env gives VAR=value words
    in_front_end "$fe" "$log.log" \
      env HOME="$home" TMPDIR="$scratch" ZX_INTERNAL_INSTALL_AGENT_URL="$etag_url" BENCH_T0="$t0_file" \
      BENCH_STAMP="$stamp" $(ui_env "$fe") bash "$stamp_exec" "$launcher" || rc=$?
    t_end=$ended_at
    [ -f "$cache/installagent/marker" ] || rc="$rc(cache was unpacked again)"
    to_agent='' to_exit=''
    if [ -s "$t0_file" ] && [ -s "$stamp" ]; then
      to_agent=$(seconds_between "$(cat "$t0_file")" "$(cat "$stamp")")
      to_exit=$(seconds_between "$(cat "$t0_file")" "$t_end")
    else
      rc="$rc(no timestamps)"
    fi
    echo "$label,$run,$to_agent,$to_exit,$rc" >> "$out/etag.csv"
    if timed_out "${rc%%(*}"; then hung "$fe" "in 4 (ETag) run $run"; break; fi
  done
  [ $first -eq 1 ] || echo "," >> "$out/etag-requests.json"
  first=0
  stats | python3 -c "import json,sys; print(json.dumps({'front_end': '$label', 'archive_bytes': $(stat -c %s "$big_zip"), 'requests': json.load(sys.stdin)}))" >> "$out/etag-requests.json" \
    || echo "{\"front_end\": \"$label\", \"requests\": []}" >> "$out/etag-requests.json"
  say "  $label: done"
}
for fe in "${available[@]}"; do
  etag_runs "$fe" "$fe" "$launcher"
done
# A bundle with a key also reads who vouched for the cached agent (primed
# through that bundle, so that the record is there).
if [ -n "$signed_bundle" ]; then
  etag_runs plain "plain signed" "$signed_bundle/launcher"
fi
echo "]" >> "$out/etag-requests.json"

# --- 5. A download that drops twice ------------------------------------------

section "5. ${big_mib} MiB agent whose connection drops twice ($drop_rounds rounds per front end)"
echo "front_end,round,seconds,waits_seconds,retries,requests,body_bytes_sent,status" > "$out/drops.csv"
big_bytes=$(stat -c %s "$big_zip")
for fe in "${available[@]}"; do
  for round in $(seq 1 "$drop_rounds"); do
    fresh_cache
    ensure_server "measurement 5, $fe round $round"
    reset_stats
    log=$logs/drops-$fe-$round.log
    # Each of the first two requests closes the connection after a third of
    # the archive; the retries ask for the rest (Range with If-Range).
    url="$base/agent.zip?file=$big_zip&etag=%22drops%22&drop_first=2&drop_after=$((big_bytes / 3))&key=$fe-$round"
    rc=0
    run_launcher "$fe" "$url" "$log" || rc=$?
    # The waits the launcher announced ("retrying in <s> s"), from its own log.
    waits=$(tr '\r' '\n' < "$log" | sed -n 's/.*Download interrupted (.*retrying in \([0-9.e+]*\) s .*/\1/p' \
            | awk '{ s += $1; n++ } END { printf "%.3f %d", s, n }')
    served=$(stats | python3 -c 'import json,sys
r = json.load(sys.stdin); print(len(r), sum(x["bytes_sent"] for x in r))' 2>/dev/null || echo "0 0")
    echo "$fe,$round,$elapsed,${waits% *},${waits#* },${served% *},${served#* },$rc" >> "$out/drops.csv"
    say "  $fe round $round: ${elapsed}s, waits ${waits% *}s in ${waits#* } retries, ${served#* } body bytes in ${served% *} requests (status $rc)"
    if timed_out "$rc"; then hung "$fe" "in 5 (drops) round $round"; break; fi
  done
done

# --- 6. The signature's cost on a link slower than the machine ---------------

# On loopback the download is as fast as the CPU, so the hash of a signed
# agent (it runs while the bytes arrive) adds its whole CPU time; on a link
# slower than the hash it fits in the waits for the next bytes.
link_rate=${BENCH_LINK_RATE:-100000000}   # bytes per second
if [ -n "$signed_bundle" ]; then
  section "6. ${big_mib} MiB agent over a $((link_rate / 1000000)) MB/s link: signed vs unsigned ($rounds alternated rounds, plain)"
  echo "round,contender,seconds,status" > "$out/signed-link.csv"
  for round in $(seq 1 "$rounds"); do
    for contender in launcher signed; do
      fresh_cache
      ensure_server "measurement 6, round $round"
      rc=0
      "run_$contender" plain "$base/agent.zip?file=$big_zip&etag=%22link%22&throttle=$link_rate" \
        "$logs/signed-link-$contender.log" || rc=$?
      echo "$round,$contender,$elapsed,$rc" >> "$out/signed-link.csv"
      say "  round $round $contender: ${elapsed}s (status $rc)"
    done
  done
fi

# --- Report ------------------------------------------------------------------

python3 "$bench_dir/report.py" "$out" | tee "$out/summary.txt"
