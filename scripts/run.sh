#!/usr/bin/env bash
# Builds the program and opens its window. Arguments go to twinfold as they
# are (see --help). Without a display (a fresh server, CI) twinfold says so
# in one line, and the example task of examples/ runs instead as a dry run,
# headless, printing its log: nothing is written.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target twinfold -j "${JOBS:-$(nproc)}" >/dev/null
exe=$build/src/app/twinfold
if [ $# -gt 0 ]; then
  exec "$exe" "$@"
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$exe"
fi
"$exe" || true # the one line about the missing display
echo "Running the example task (examples/example-task.ini) as a dry run instead:"
exec "$exe" /task_file:examples/example-task.ini /dry /close
