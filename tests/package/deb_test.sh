#!/usr/bin/env bash
# The Debian package end to end, as root: cpack makes twinfold_*.deb from the
# build folder, apt installs it (its runtime libraries by package name, no
# -dev package), the installed twinfold runs a task file as a scheduler
# would (no display, no terminal, a minimal environment), and apt removes it
# again without leaving a file of it behind; the user's settings store stays.
#   bash tests/package/deb_test.sh [build folder]
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
if [ "$(id -u)" != 0 ]; then echo "deb_test: needs root (apt install)"; exit 77; fi
if dpkg-query -W -f='${Status}' twinfold 2>/dev/null | grep -q "ok installed"; then
  echo "deb_test: a twinfold package is installed already; not touching it" >&2
  exit 1
fi

TMP=$(mktemp -d /tmp/twinfold-deb.XXXXXX)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then apt-get remove -y -qq twinfold >/dev/null 2>&1 || true; fi
  rm -rf "$TMP"
}
trap cleanup EXIT
fail() { echo "deb_test: $*" >&2; exit 1; }

(cd "$BUILD" && cpack -G DEB -B "$TMP/pkg" >"$TMP/cpack.log" 2>&1) || { cat "$TMP/cpack.log" >&2; fail "cpack failed"; }
DEB=$(ls "$TMP"/pkg/twinfold_*.deb 2>/dev/null | head -n1)
[ -n "$DEB" ] || fail "cpack made no twinfold_*.deb"

depends=$(dpkg-deb -f "$DEB" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libsqlite3-0 libsodium23 libzip4 libacl1 libxxhash0 libqt6widgets6 libcurl4; do
  case ", $depends" in *", $lib"[\ ,]*|*", $lib") ;; *) fail "Depends lacks $lib" ;; esac
done
case "$depends" in *-dev*) fail "Depends names a -dev package: $depends" ;; esac

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$DEB" >"$TMP/apt.log" 2>&1 || { cat "$TMP/apt.log" >&2; fail "apt install failed"; }
installed=1
mapfile -t files < <(dpkg -L twinfold)
[ -x /usr/bin/twinfold ] || fail "no /usr/bin/twinfold"
for f in /usr/lib/twinfold/twinfold-window.so /usr/share/man/man1/twinfold.1 \
         /usr/share/applications/com.zentorvi.Twinfold.desktop /usr/share/icons/hicolor/48x48/apps/twinfold.png; do
  [ -e "$f" ] || fail "not installed: $f"
done
# Every library the program and the window module need is there.
for f in /usr/bin/twinfold /usr/lib/twinfold/twinfold-window.so; do
  if ldd "$f" | grep -q "not found"; then ldd "$f" >&2; fail "$f misses a library"; fi
done

# A run as systemd or cron starts it, for a user (root's own store is the
# machine's, never a test's): a new session without a terminal, standard
# input from /dev/null, a display variable that points nowhere.
chmod 755 "$TMP"
mkdir -p "$TMP/home" "$TMP/src/sub" "$TMP/dst"
printf alpha >"$TMP/src/a.txt"
printf beta >"$TMP/src/sub/b.txt"
printf '[Task]\r\nSource=%s\r\nDest=%s\r\nLogEnabled=1\r\nLogFolder=%s\r\n\r\n[Meta]\r\nName=Packaged\r\n' \
  "$TMP/src" "$TMP/dst/mirror" "$TMP/home/logs" >"$TMP/job.ini"
chmod -R a+rX "$TMP/src" "$TMP/job.ini"
chown 65534:65534 "$TMP/home" "$TMP/dst"
set +e
setpriv --reuid=65534 --regid=65534 --clear-groups \
  env -i HOME="$TMP/home" PATH=/usr/bin:/bin DISPLAY=:99 LANG=C.UTF-8 \
  setsid twinfold "/task_file:$TMP/job.ini" /run /close </dev/null >"$TMP/out.txt" 2>"$TMP/err.txt"
rc=$?
set -e
[ "$rc" = 0 ] || { cat "$TMP/out.txt" "$TMP/err.txt" >&2; fail "the installed run exited $rc"; }
diff -r "$TMP/src" "$TMP/dst/mirror" || fail "the mirror differs from the source"
grep -q "Task Name:   Packaged" "$TMP/out.txt" || fail "no log lines on standard output"
ls "$TMP"/home/logs/Mirror_* >/dev/null 2>&1 || fail "no log file"
store="$TMP/home/.config/Zentorvi/Quarlex Twinfold/settings.db"
[ -f "$store" ] || fail "no settings store after the run"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq twinfold >"$TMP/apt.log" 2>&1 || { cat "$TMP/apt.log" >&2; fail "apt remove failed"; }
installed=0
left=()
for f in "${files[@]}"; do
  # Folders the package shares with others (/usr, /usr/share/icons, ...) stay.
  if [ -d "$f" ] && [ ! -L "$f" ]; then
    case "$f" in */twinfold|*/twinfold/*) [ -e "$f" ] && left+=("$f") ;; esac
  elif [ -e "$f" ] || [ -L "$f" ]; then
    left+=("$f")
  fi
done
[ "${#left[@]}" = 0 ] || fail "left behind after apt remove: ${left[*]}"
dpkg-query -W -f='${Status}' twinfold 2>/dev/null | grep -q "ok installed" && fail "still installed"
[ -f "$store" ] || fail "apt remove took the user's settings store"
echo "deb_test: built, installed, ran, removed"
