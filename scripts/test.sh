#!/usr/bin/env bash
# Builds and runs every test. TWF_SANITIZE=thread (or address,undefined)
# builds a sanitizer flavour in its own folder. The plain flavour then runs
# the fuzz targets in their short mode (scripts/fuzz.sh); TWF_FUZZ=0 leaves
# them out. As root, the Debian package is built, installed, run and removed
# (tests/package/deb_test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${TWF_SANITIZE:-}" ]; then
  export BUILD_DIR=${BUILD_DIR:-build-$(echo "$TWF_SANITIZE" | tr -c 'a-z\n' '-')}
  bash scripts/build.sh -DTWF_SANITIZE="$TWF_SANITIZE" -DCMAKE_BUILD_TYPE=Debug
  export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}"
else
  bash scripts/build.sh
fi
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "${JOBS:-$(nproc)}"
# The Debian package built, installed, run and removed (as root; TWF_DEB=0
# leaves it out).
if [ -z "${TWF_SANITIZE:-}" ] && [ "${TWF_DEB:-1}" != 0 ] && [ "$(id -u)" = 0 ]; then
  bash tests/package/deb_test.sh "${BUILD_DIR:-build}"
fi
if [ -z "${TWF_SANITIZE:-}" ] && [ "${TWF_FUZZ:-1}" != 0 ]; then
  bash scripts/fuzz.sh
fi
