#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 45) from the seed corpora in tests/fuzz/corpus/.
# Any finding (crash, sanitizer report, leak, time-out) fails the run and
# leaves the input in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-45}

missing=()
for p in clang libclang-rt-14-dev cmake; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVELMOR_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"

mkdir -p build-fuzz/findings build-fuzz/logs
status=0
for target in build-fuzz/fuzz-*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds=$PWD/tests/fuzz/corpus/${name#fuzz-}  # absolute: a target may change its directory
  work=$(mktemp -d)
  echo "== $name for ${seconds}s"
  # New inputs go to a scratch corpus; the seeds in the repository are only read.
  corpora=("$work")
  [ -d "$seeds" ] && corpora+=("$seeds")
  if ! ASAN_OPTIONS=detect_leaks=1 "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
       -artifact_prefix="$PWD"/build-fuzz/findings/"$name"- "${corpora[@]}" >build-fuzz/logs/"$name".log 2>&1; then
    echo "!! $name found a fault:"; tail -n 40 build-fuzz/logs/"$name".log
    status=1
  else
    # libFuzzer ends a clean run with "Done N runs in S second(s)".
    runs=$(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' build-fuzz/logs/"$name".log | tail -n 1 | awk '{print $2}')
    echo "$name: ${runs:-?} runs, no finding"
    [ -n "$runs" ] || tail -n 2 build-fuzz/logs/"$name".log
  fi
  rm -rf "$work"
done
if [ $status -eq 0 ]; then echo "fuzz: 0 findings"; fi
exit $status
