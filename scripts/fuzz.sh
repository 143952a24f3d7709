#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz) with clang into build-fuzz/ and runs
# each for a bounded time, starting from its committed corpus. What a run
# adds to the corpus stays in build-fuzz/corpus/, so a later run goes on
# from there.
#
#   bash scripts/fuzz.sh                  short mode (CI): 25 s per target
#   bash scripts/fuzz.sh --long           600 s per target
#   FUZZ_SECONDS=120 bash scripts/fuzz.sh per-target time of your own
#   FUZZ_TARGETS="fuzz_ini" ...           only these targets
# Further arguments go to cmake's configure step.
#
# A crash, hang, leak or sanitizer report fails the script; the input that
# caused it is kept in build-fuzz/artifacts/ (rerun it: build-fuzz/tests/fuzz/<target> <file>).
set -euo pipefail
cd "$(dirname "$0")/.."

secs=${FUZZ_SECONDS:-25}
cmake_args=()
for a in "$@"; do
  if [ "$a" = --long ]; then secs=${FUZZ_SECONDS:-600}; else cmake_args+=("$a"); fi
done
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
read -r -a targets <<<"${FUZZ_TARGETS:-fuzz_wildcard fuzz_ini fuzz_task_archive fuzz_command_line fuzz_log_encoders fuzz_auth_envelope}"

started=$(date +%s)
# Only the libraries the harnesses link; no tests, no window.
CC=${FUZZ_CC:-clang} CXX=${FUZZ_CXX:-clang++} cmake -S . -B "$BUILD" -G Ninja -DTWF_FUZZ=ON -DBUILD_TESTING=OFF \
  -DTWF_DIRS="log;platform;engine;tasks;authkeys;runctl" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}" >/dev/null
cmake --build "$BUILD" -j "${JOBS:-$(nproc)}" --target "${targets[@]}"
built=$(date +%s)
echo "fuzz: build took $((built - started)) s"

mkdir -p "$BUILD/artifacts"
failed=0
summary=()
for t in "${targets[@]}"; do
  corpus="$BUILD/corpus/$t"
  mkdir -p "$corpus"
  log="$BUILD/artifacts/$t.log"
  rc=0
  # New inputs go to the first folder; the committed seeds are only read.
  "$BUILD/tests/fuzz/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/$t-" "$corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1 || true)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  line=$(printf '%-20s %10s executions in %4s s (%s/s), coverage %s' "$t" "${execs:-?}" "$secs" "${rate:-?}" "${cov:-?}")
  if [ "$rc" != 0 ]; then
    failed=1
    line+="  FAILED (exit $rc, see $log)"
    tail -n 40 "$log" >&2
  fi
  echo "fuzz: $line"
  summary+=("$line")
done
echo "fuzz: total $(($(date +%s) - started)) s"
printf 'fuzz: %s\n' "${summary[@]}"
exit $failed
