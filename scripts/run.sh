#!/usr/bin/env bash
# Builds the program and starts its main job. With arguments they go to the
# mirror driver (see --help); without, it mirrors /usr/share/doc into a
# temporary folder twice, so the second run shows a no-change re-run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
driver=${BUILD_DIR:-build}/tools/twinfold-mirror
if [ $# -gt 0 ]; then
  exec "$driver" "$@"
fi
dest=${TMPDIR:-/tmp}/twinfold-demo
echo "Mirroring /usr/share/doc into $dest ..."
"$driver" --log "$dest.log" /usr/share/doc "$dest" | tail -n 12 || true
echo
echo "Again, with nothing changed:"
"$driver" /usr/share/doc "$dest" | tail -n 12
