#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Idempotent; run as root on Debian 12.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config git
  libxxhash-dev xxhash
  libzip-dev zlib1g-dev zip unzip
  libsqlite3-dev sqlite3
  libcurl4-openssl-dev openssl
  libsodium-dev
  libacl1-dev acl
  liburing-dev
  libglib2.0-dev
  libgtest-dev
  util-linux
  rsync # the exact-mirror test checks the mirror with rsync -aAXn
  python3
  qt6-base-dev xvfb xauth fonts-material-design-icons-iconfont
  groff-base desktop-file-utils appstream # the manual page, menu entry and metainfo checks
  dpkg-dev # cpack's Debian package: dpkg-shlibdeps names the runtime libraries
  clang libclang-rt-14-dev # the fuzz targets (scripts/fuzz.sh): clang and its libFuzzer and sanitizer runtimes
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all build and test packages are present"
