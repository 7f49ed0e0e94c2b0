#!/usr/bin/env bash
# Sets up, builds and runs every test. With --sanitize, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ "${1:-}" = "--sanitize" ]; then
  export BUILD_DIR=build-asan BUILD_TYPE=Debug
  scripts/build.sh -DLAUNCHER_SANITIZE=ON
else
  scripts/build.sh
fi
# Loopback servers must never be reached through a proxy from the environment.
export no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2
