#!/usr/bin/env bash
# Dry runs of scripts/setup.sh's package step against a package archive
# caught mid-sync. apt-get, dpkg-query and dpkg are replaced by stubs that
# replay what the real ones printed (scripts/apt-replay); each scenario picks
# which of the real answers apt gives to each install.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stubs=$work/bin
mkdir -p "$stubs"

# FAKE_SCENARIO: works (the first install succeeds), skew (only the pinned
# one does), downgrade (the pinned one needs --allow-downgrades), unknown
# (every install fails for a reason of its own).
cat >"$stubs/apt-get" <<'EOF2'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE/calls"
replay() { cat "$REPLAY/$1.txt"; exit "$2"; }
[ "$1" = update ] && replay update 100
pref=$(printf '%s\n' "$@" | sed -n 's/^Dir::Etc::Preferences=//p')
[ -n "$pref" ] && { cp "$pref" "$FAKE/pref.seen"; echo "$pref" >"$FAKE/pref.path"; }
case $FAKE_SCENARIO in
works) replay install-pinned 0 ;;
unknown) replay install-unknown-package 100 ;;
esac
[ -z "$pref" ] && replay install-unresolvable 100
[ "$FAKE_SCENARIO" = skew ] && replay install-pinned 0
case " $* " in *" --allow-downgrades "*) replay install-downgraded 0 ;; esac
replay install-needs-downgrade 100
EOF2

# Nothing of setup's list is installed; i386 is already added.
cat >"$stubs/dpkg-query" <<'EOF2'
#!/usr/bin/env bash
echo "dpkg-query: no packages found matching ${*: -1}" >&2
exit 1
EOF2
cat >"$stubs/dpkg" <<'EOF2'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && { echo i386; exit 0; }
exec /usr/bin/dpkg "$@"
EOF2
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
    sed 's/^/  | /' "$FAKE/out" | tail -20 >&2
  fi
}

# Runs setup.sh's package step in a fresh fake machine: the scenario, then
# environment assignments, then "--" and setup.sh's own arguments.
run_setup() {
  FAKE=$(mktemp -d -p "$work")
  local scenario=$1 env=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do env+=("$1"); shift; done
  shift
  env -u CI -u NAVPLUGINS_ALLOW_DOWNGRADE PATH="$stubs:$PATH" FAKE="$FAKE" \
    REPLAY="$root/scripts/apt-replay" FAKE_SCENARIO="$scenario" \
    NAVPLUGINS_APT_RETRY_SECONDS=0 "${env[@]}" \
    bash "$root/scripts/setup.sh" --packages-only "$@" >"$FAKE/out" 2>&1
  echo $? >"$FAKE/status"
}
status() { cat "$FAKE/status"; }
says() { grep -q -- "$1" "$FAKE/out"; }
installs() { grep -c '^apt-get install' "$FAKE/calls"; }
never_downgrades() { ! grep -q -- --allow-downgrades "$FAKE/calls"; }
pref_removed() { [ ! -e "$(cat "$FAKE/pref.path")" ]; }
pinned() { grep -qx "Pin: release n=bookworm" "$FAKE/pref.seen" && grep -qx "Pin-Priority: 1001" "$FAKE/pref.seen"; }

# A failed index: retried, named, then the lists at hand are used.
run_setup works --
check "update failure is not fatal" '[ "$(status)" = 0 ] && [ "$(installs)" = 1 ]'
check "update retried three times" '[ "$(grep -c "^apt-get update" "$FAKE/calls")" = 3 ]'
check "failed index named" 'says "index not updated: http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"'

# No solution with those lists: the pinned try, with no consent, says why in
# one line and lists what it moved (here only upgrades).
run_setup skew --
check "pinned try installs without consent" '[ "$(status)" = 0 ] && [ "$(installs)" = 2 ] && never_downgrades'
check "release pinned for that one install" 'pinned && pref_removed'
check "one line says what and why" '[ "$(grep -c "^setup: apt-get install failed; trying again.*bookworm release" "$FAKE/out")" = 1 ]'
check "moves listed" 'says "libssl3:amd64 3.0.19-1~deb12u2 -> 3.0.20-1~deb12u2"'

# Only a downgrade needs consent.
run_setup downgrade --
check "downgrade stops without consent" '[ "$(status)" != 0 ] && [ "$(installs)" = 2 ] && never_downgrades && pref_removed'
check "downgrade named with the way out" '[ "$(grep -c "^setup: .*downgrade.*--allow-downgrade" "$FAKE/out")" = 1 ]'
for consent in "CI=true --" "-- --allow-downgrade" "NAVPLUGINS_ALLOW_DOWNGRADE=1 --"; do
  # shellcheck disable=SC2086
  run_setup downgrade $consent
  check "[$consent] downgrade allowed" \
    '[ "$(status)" = 0 ] && [ "$(installs)" = 3 ] && tail -1 "$FAKE/calls" | grep -q -- "--allow-downgrades -o Dir::Etc::Preferences="'
  check "[$consent] preference removed" 'pinned && pref_removed'
  check "[$consent] move listed" 'says "linux-libc-dev:amd64 6.1.187-1 -> 6.1.176-1"'
done

# Any other failure ends with apt's own message, even under CI.
run_setup unknown CI=true --
check "other failures stop" '[ "$(status)" != 0 ] && [ "$(installs)" = 2 ] && never_downgrades'
check "apt has the last word" '[ "$(tail -1 "$FAKE/out")" = "E: Unable to locate package nosuch-package-xyz" ]'

echo "setup dry runs: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
