#!/usr/bin/env bash
# Installs every package the builds, tests and bench need on a fresh
# Debian 12 machine. Safe to run again: it only installs what is missing.
set -euo pipefail

packages=(
  cmake ninja-build clang lld clang-format
  g++ gcc-multilib g++-multilib
  g++-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 wine64
  libgtest-dev googletest libbenchmark-dev libclang-rt-14-dev
  valgrind libxml2-utils gpsbabel python3 python3-gpxpy
  binutils-mingw-w64-i686 locales qemu-user-static
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  $sudo apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

# Tests write numbers under a locale whose decimal separator is a comma.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi

# 32-bit x86 programs (the -m32 tests and 32-bit Wine) need the kernel's
# 32-bit support. Some virtual machines lack it; there qemu runs them,
# registered with binfmt_misc.
probe=$(mktemp -d)
printf 'int main(void){return 0;}\n' > "$probe/p.c"
if gcc -m32 "$probe/p.c" -o "$probe/p" 2>/dev/null && ! "$probe/p" 2>/dev/null; then
  mountpoint -q /proc/sys/fs/binfmt_misc || $sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      | $sudo tee /proc/sys/fs/binfmt_misc/register >/dev/null
  fi
  "$probe/p" || { echo "32-bit programs cannot run on this machine" >&2; exit 1; }
fi
rm -rf "$probe"

# Create the Wine prefix once, so that the first test does not pay for it.
if [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
  WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
