#!/usr/bin/env bash
# Runs every test suite on a fresh or prepared Debian 12 machine: installs
# what is missing, then builds and tests the linux, linux32 and win32
# (under Wine) presets, the sanitizer builds, the CE ARM provider on an
# emulated ARM CPU (ce-arm), the static checks of the deliverables, the
# installed SDK with its examples, and a short run of every fuzz target.
# Exits non-zero when any of them fails.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

jobs=$(nproc)
passed=0
failed=0
failures=()

step() {
    local name=$1
    shift
    echo "==== $name"
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$name")
        echo "==== $name FAILED"
    fi
}

preset() {
    cmake --preset "$1" >/dev/null &&
        cmake --build --preset "$1" -j "$jobs" &&
        ctest --preset "$1"
}

step "static checks" bash scripts/check.sh
presets=${NAVPLUGINS_PRESETS:-linux linux32 win32 linux-asan linux-tsan ce-arm}
for p in $presets; do
    step "suite $p" preset "$p"
done
# The installed SDK and its examples, natively and under Wine.
for p in linux win32; do
    case " $presets " in *" $p "*) step "SDK and examples $p" bash scripts/check-sdk.sh "$p" ;; esac
done
step "deliverables" bash scripts/check-dlls.sh build/win32/bin
step "fuzz (short)" bash scripts/fuzz.sh "${NAVPLUGINS_FUZZ_SECONDS:-20}"

echo
for f in "${failures[@]}"; do echo "failed: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
