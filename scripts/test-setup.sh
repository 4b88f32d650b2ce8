#!/usr/bin/env bash
# Dry runs of scripts/setup.sh's package step against a package archive
# caught mid-sync, with apt-get, apt-cache and dpkg-query replaced by stubs
# that replay what a real one printed: an index that fails to download, and
# i386 twins older than the installed amd64 libraries.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stubs=$work/bin
mkdir -p "$stubs"

cat >"$stubs/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE/calls"
case $1 in
update)
  cat >&2 <<'MSG'
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
E: Some index files failed to download. They have been ignored, or old ones used instead.
MSG
  exit 100 ;;
install)
  pref=$(printf '%s\n' "$@" | sed -n 's/^Dir::Etc::Preferences=//p')
  if [ -n "$pref" ] && [ -n "${FAKE_DOWNGRADE_WORKS:-}" ]; then
    cp "$pref" "$FAKE/pref.seen"
    echo "$pref" >"$FAKE/pref.path"
    sed -i 's/^zlib1g amd64 1:1.2.13.dfsg-1+deb12u1/zlib1g amd64 1:1.2.13.dfsg-1/' "$FAKE/state"
    exit 0
  fi
  [ -n "${FAKE_INSTALL_WORKS:-}" ] && exit 0
  echo "E: Unable to correct problems, you have held broken packages." >&2
  exit 100 ;;
esac
EOF

cat >"$stubs/apt-cache" <<'EOF'
#!/usr/bin/env bash
shift
for name; do
  case $name in
    zlib1g:amd64) c=1:1.2.13.dfsg-1+deb12u1 ;;
    zlib1g:i386) c=1:1.2.13.dfsg-1 ;;
    libc6:*) c=2.36-9+deb12u14 ;;
    *) c="(none)" ;;
  esac
  printf '%s:\n  Installed: (none)\n  Candidate: %s\n' "$name" "$c"
done
EOF

# The package state: nothing of ours installed; two amd64 libraries.
cat >"$stubs/dpkg-query" <<'EOF'
#!/usr/bin/env bash
fmt=$(printf '%s\n' "$@" | sed -n 's/^-f=\?//p')
case $fmt in
*Multi-Arch*) awk '{ print $1, $2, $3, "same", "ii " }' "$FAKE/state" ;;
*Architecture*) awk '{ print $1 ":" $2, $3, "ii " }' "$FAKE/state" ;;
*) exit 1 ;;
esac
EOF

cat >"$stubs/dpkg" <<'EOF'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && { echo i386; exit 0; }
exec /usr/bin/dpkg "$@"
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$stubs/sudo"
chmod +x "$stubs"/*

passed=0
failed=0
check() {
  if eval "$2"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1" >&2
    sed 's/^/  | /' "$FAKE/out" >&2
  fi
}

state=('zlib1g amd64 1:1.2.13.dfsg-1+deb12u1' 'libc6 amd64 2.36-9+deb12u14')

# Runs setup.sh's package step in a fresh fake machine; extra arguments are
# environment assignments, then "--" and setup.sh's own arguments.
run_setup() {
  FAKE=$(mktemp -d -p "$work")
  printf '%s\n' "${state[@]}" >"$FAKE/state"
  local env=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do env+=("$1"); shift; done
  shift
  env -u CI -u NAVPLUGINS_ALLOW_DOWNGRADE PATH="$stubs:$PATH" FAKE="$FAKE" \
    NAVPLUGINS_APT_RETRY_SECONDS=0 "${env[@]}" \
    bash "$root/scripts/setup.sh" --packages-only "$@" >"$FAKE/out" 2>&1
  echo $? >"$FAKE/status"
}
status() { cat "$FAKE/status"; }
says() { grep -q -- "$1" "$FAKE/out"; }
installs() { grep -c '^apt-get install' "$FAKE/calls"; }

# A failed index: retried, named, then the lists at hand are used.
run_setup FAKE_INSTALL_WORKS=1 --
check "update failure is not fatal" '[ "$(status)" = 0 ]'
check "update retried three times" '[ "$(grep -c "^apt-get update" "$FAKE/calls")" = 3 ]'
check "failed index named" 'says "index not updated: http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"'

# Version skew on a person's machine: one clear line, nothing moved.
run_setup --
check "skew stops without consent" '[ "$(status)" != 0 ] && [ "$(installs)" = 1 ]'
check "skew named in one line with the way out" \
  '[ "$(grep -c "zlib1g 1:1.2.13.dfsg-1+deb12u1 (i386 1:1.2.13.dfsg-1).*--allow-downgrade" "$FAKE/out")" = 1 ]'
check "libraries in step are not named" '! says "libc6 "'

# The same under CI, or when asked: a one-install preference, the move listed.
for consent in "CI=true --" "-- --allow-downgrade" "NAVPLUGINS_ALLOW_DOWNGRADE=1 --"; do
  # shellcheck disable=SC2086
  run_setup FAKE_DOWNGRADE_WORKS=1 $consent
  check "[$consent] skew resolved" '[ "$(status)" = 0 ] && [ "$(installs)" = 2 ]'
  check "[$consent] release pinned" \
    'grep -qx "Pin: release n=bookworm" "$FAKE/pref.seen" && grep -qx "Pin-Priority: 1001" "$FAKE/pref.seen"'
  check "[$consent] downgrades allowed" 'tail -1 "$FAKE/calls" | grep -q -- --allow-downgrades'
  check "[$consent] preference removed" '[ ! -e "$(cat "$FAKE/pref.path")" ]'
  check "[$consent] move listed" 'says "moved zlib1g:amd64 from 1:1.2.13.dfsg-1+deb12u1 to 1:1.2.13.dfsg-1"'
done

# An install that fails for another reason is never answered with a downgrade.
state=('libc6 amd64 2.36-9+deb12u14')
run_setup CI=true --
check "other failures stop" '[ "$(status)" != 0 ] && [ "$(installs)" = 1 ]'

echo "setup dry runs: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
