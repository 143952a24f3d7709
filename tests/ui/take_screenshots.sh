#!/usr/bin/env bash
# Takes the window's screenshots under Xvfb at 100 % and 200 % scale:
#   bash tests/ui/take_screenshots.sh [OUTPUT_FOLDER]   (default docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${1:-docs/screenshots}
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target twf_ui_screenshots >/dev/null
shots=$build/tests/ui/twf_ui_screenshots
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1600x1000x24" "$shots" "$out"
QT_SCALE_FACTOR=2 xvfb-run -a -s "-screen 0 2400x1800x24" "$shots" "$out" "@2x"
