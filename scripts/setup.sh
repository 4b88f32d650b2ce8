#!/usr/bin/env bash
# Installs every package the builds, tests and bench need on a fresh
# Debian 12 machine. Safe to run again: it only installs what is missing.
#
#   scripts/setup.sh [--allow-downgrade] [--packages-only]
#
# A package archive caught mid-sync makes `apt-get update` fail on one index;
# the update is retried, then the lists apt has are used. If apt then cannot
# resolve the packages, they are installed once more at the release's
# versions, which may move some installed libraries to those versions. A
# downgrade is done only when asked: --allow-downgrade,
# NAVPLUGINS_ALLOW_DOWNGRADE=1, or CI=true.
# --packages-only stops after the packages (the dry-run tests use it).
set -euo pipefail

packages=(
  cmake ninja-build clang lld llvm clang-format
  g++ gcc-multilib g++-multilib
  g++-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 wine64
  libgtest-dev googletest libbenchmark-dev libclang-rt-14-dev
  valgrind libxml2-utils gpsbabel python3 python3-gpxpy python3-unicorn
  python3-distutils python3-pkg-resources
  binutils-mingw-w64-i686 locales qemu-user-static git pkg-config
)

allow_downgrade=${NAVPLUGINS_ALLOW_DOWNGRADE:-}
[ "${CI:-}" = true ] && allow_downgrade=1
packages_only=""
for arg; do
  case $arg in
    --allow-downgrade) allow_downgrade=1 ;;
    --packages-only) packages_only=1 ;;
    *) echo "usage: scripts/setup.sh [--allow-downgrade] [--packages-only]" >&2; exit 2 ;;
  esac
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
say() { echo "setup: $*" >&2; }

# Retries the update, then goes on with whatever lists apt has: a failed
# index is usually a mirror in the middle of a sync, and the rest is fine.
apt_update() {
  local tries=${NAVPLUGINS_APT_TRIES:-3} i out=""
  for ((i = 1; i <= tries; i++)); do
    out=$($sudo apt-get update -qq 2>&1) && return 0
    [ "$i" -lt "$tries" ] && sleep "${NAVPLUGINS_APT_RETRY_SECONDS:-10}"
  done
  say "apt-get update failed $tries times; going on with the package lists apt has"
  local failed
  failed=$(printf '%s\n' "$out" | sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p')
  if [ -n "$failed" ]; then
    printf '%s\n' "$failed" | while read -r url; do say "index not updated: $url"; done
  else
    printf '%s\n' "$out" >&2
  fi
}

# Installs with apt; its output is shown and also kept in $log.
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" 2>&1 |
    tee "$log"
}

# One line naming every installed package dpkg unpacked over another version.
say_moved() {
  local moved
  moved=$(sed -n 's/^Unpacking \([^ ]*\) (\([^)]*\)) over (\([^)]*\)) \.\.\..*/\1 \3 -> \2/p' "$log" |
    paste -sd, - | sed 's/,/, /g')
  [ -z "$moved" ] || say "moved to the release's versions: $moved"
}

# Installs the packages. A failed index (see apt_update) leaves one
# architecture's lists older than the other's, and Multi-Arch: same libraries
# need one version on both, so apt may find no solution. The second try takes
# every package at the release's version, for that one command. apt itself
# refuses that if it means a downgrade; only a downgrade needs consent.
install_packages() {
  local codename
  pref=$(mktemp)
  log=$(mktemp)
  trap 'rm -f "$pref" "$log"' EXIT
  apt_install "$@" && return 0
  codename=$( (. /etc/os-release && echo "${VERSION_CODENAME:-}") 2>/dev/null || true)
  codename=${codename:-bookworm}
  printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n' "$codename" >"$pref"
  say "apt-get install failed; trying again with every package at the $codename release's version, for this install only, since a package list that did not update can leave the two architectures at different versions"
  if apt_install -o Dir::Etc::Preferences="$pref" "$@"; then
    say_moved
    return 0
  fi
  grep -q 'without --allow-downgrades' "$log" || return 1
  if [ -z "$allow_downgrade" ]; then
    say "at the release's versions apt would have to downgrade installed packages; run scripts/setup.sh --allow-downgrade (or NAVPLUGINS_ALLOW_DOWNGRADE=1; automatic with CI=true) to allow that for this install"
    return 1
  fi
  say "installing at the release's versions with downgrades allowed"
  apt_install --allow-downgrades -o Dir::Etc::Preferences="$pref" "$@" || return 1
  say_moved
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  apt_update
  if [ ${#missing[@]} -gt 0 ]; then
    install_packages "${missing[@]}"
  fi
fi
[ -z "$packages_only" ] || exit 0

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
