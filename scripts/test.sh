#!/usr/bin/env bash
# Builds everything and runs every test in two stages: the plain build, then
# the build with AddressSanitizer and UndefinedBehaviorSanitizer. The second
# stage runs even when the first fails; the exit status is non-zero when
# either failed, and the last lines say which.
set -uo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "test.sh: run as root (sudo scripts/test.sh): the server runs only as root, and missing packages come from apt" >&2
  exit 1
fi
scripts/deps.sh || exit 1
jobs=$(nproc)

plain=failed
sanitized=failed

echo "== plain build"
if cmake -S . -B build -DVELMOR_WERROR=ON >/dev/null &&
   cmake --build build -j"$jobs" &&
   ctest --test-dir build --output-on-failure -j"$jobs"; then
  plain=passed
fi

echo "== sanitizer build (ASan + UBSan)"
if cmake -S . -B build-asan -DVELMOR_SANITIZE=ON -DVELMOR_WERROR=ON >/dev/null &&
   cmake --build build-asan -j"$jobs" &&
   ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --test-dir build-asan --output-on-failure -j"$jobs"; then
  sanitized=passed
fi

echo "== plain stage: $plain; sanitizer stage: $sanitized"
[ "$plain" = passed ] && [ "$sanitized" = passed ]
