#!/usr/bin/env bash
# Installs every package the builds, tests and bench need on a fresh
# Debian 12 machine. Safe to run again: it only installs what is missing.
#
#   scripts/setup.sh [--allow-downgrade] [--packages-only]
#
# A package archive caught mid-sync makes `apt-get update` fail on one index;
# the update is retried, then the lists apt has are used. When the amd64
# libraries are newer than their i386 twins in those lists, 32-bit Wine
# cannot be installed (Multi-Arch: same needs equal versions). Moving the
# system's libraries back to the release's versions is done only when asked:
# --allow-downgrade, NAVPLUGINS_ALLOW_DOWNGRADE=1, or CI=true.
# --packages-only stops after the packages (the dry-run tests use it).
set -euo pipefail

packages=(
  cmake ninja-build clang lld llvm clang-format
  g++ gcc-multilib g++-multilib
  g++-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 wine64
  libgtest-dev googletest libbenchmark-dev libclang-rt-14-dev
  valgrind libxml2-utils gpsbabel python3 python3-gpxpy python3-unicorn
  binutils-mingw-w64-i686 locales qemu-user-static
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

# Prints "package amd64-version i386-version" for each installed amd64
# Multi-Arch: same package that apt would keep or bring to a version newer
# than the one its i386 twin is offered at. Any of these makes apt refuse the
# i386 packages that need it.
arch_skew() {
  local installed names
  installed=$(dpkg-query -W -f='${Package} ${Architecture} ${Version} ${Multi-Arch} ${db:Status-Abbrev}\n' 2>/dev/null |
    awk '$2 == "amd64" && $4 == "same" && $5 ~ /^ii/ { print $1, $3 }')
  [ -n "$installed" ] || return 0
  names=$(printf '%s\n' "$installed" | awk '{ print $1 ":amd64"; print $1 ":i386" }')
  # shellcheck disable=SC2086
  apt-cache policy $names 2>/dev/null |
    awk '/^[^ ].*:(amd64|i386):$/ { split($0, f, ":"); p = f[1]; a = f[2] }
         /^  Candidate:/ && p != "" { c[p, a] = $2; seen[p] = 1 }
         END { for (p in seen) print p, c[p, "amd64"], c[p, "i386"] }' |
    while read -r p amd_candidate i386; do
      [ -n "$i386" ] && [ "$i386" != "(none)" ] || continue
      amd=$(printf '%s\n' "$installed" | awk -v p="$p" '$1 == p { print $2 }')
      [ -n "$amd_candidate" ] && [ "$amd_candidate" != "(none)" ] &&
        dpkg --compare-versions "$amd_candidate" gt "$amd" && amd=$amd_candidate
      # An amd64 library older than its twin is simply upgraded with it.
      dpkg --compare-versions "$amd" gt "$i386" && echo "$p $amd $i386"
    done | sort
  return 0
}

# Every installed package with its architecture and version, one a line.
package_versions() {
  dpkg-query -W -f='${Package}:${Architecture} ${Version} ${db:Status-Abbrev}\n' 2>/dev/null |
    awk '$3 ~ /^ii/ { print $1, $2 }' | sort
}

apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@"
}

# Installs the packages; when apt refuses because the two architectures'
# versions differ, says so in one line and, where allowed, installs again
# with a preference that holds for that one command: every package at the
# release's version, downgrades allowed. Lists what it moved.
install_packages() {
  local skew names codename pref before after
  apt_install "$@" && return 0
  skew=$(arch_skew)
  if [ -z "$skew" ]; then
    say "apt-get install failed (see above)"
    return 1
  fi
  names=$(printf '%s\n' "$skew" | awk '{ printf "%s%s %s (i386 %s)", (NR > 1 ? ", " : ""), $1, $2, $3 }')
  say "the i386 packages cannot be installed: these amd64 libraries are newer than their i386 twins in the package lists: $names; run scripts/setup.sh --allow-downgrade (or NAVPLUGINS_ALLOW_DOWNGRADE=1; automatic with CI=true) to move them to the release's versions for this install"
  [ -n "$allow_downgrade" ] || return 1

  codename=$( (. /etc/os-release && echo "${VERSION_CODENAME:-}") 2>/dev/null || true)
  codename=${codename:-bookworm}
  pref=$(mktemp)
  printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n' "$codename" >"$pref"
  before=$(package_versions)
  say "installing with every package at the $codename release's version"
  if ! apt_install --allow-downgrades -o Dir::Etc::Preferences="$pref" "$@"; then
    rm -f "$pref"
    say "apt-get install failed even at the release's versions"
    return 1
  fi
  rm -f "$pref"
  after=$(package_versions)
  join <(printf '%s\n' "$before") <(printf '%s\n' "$after") |
    awk '$2 != $3 { print "setup: moved " $1 " from " $2 " to " $3 }' >&2
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
