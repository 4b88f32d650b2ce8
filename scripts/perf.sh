#!/usr/bin/env bash
# Runs every benchmark of both plugins and writes docs/performance.md: the
# recorder's (also on 32-bit x86) and the provider's instruction counts
# (callgrind; the provider's also on its 32-bit x86 and CE ARM DLLs, on an
# emulated CPU) and times (Google Benchmark) beside their baselines, heap
# allocations, the reader thread's hand-over latency on Linux and (with
# --wine) under Wine, the Windows DLLs' size and imports, and an outside
# reference for scale.
#
#   scripts/perf.sh [--wine] [--quick]
#
# --wine   also measures the latency and the recorder's wall times under
#          Wine (a program start each, slow where 32-bit programs run
#          through qemu)
# --quick  fewer points and shorter benchmark runs, for a smoke run
set -euo pipefail
cd "$(dirname "$0")/.."

wine=""
points=20000
min_time=0.5
for arg in "$@"; do
    case $arg in
    --wine) wine=--wine ;;
    --quick) points=2000 min_time=0.05 ;;
    *) echo "usage: $0 [--wine] [--quick]" >&2; exit 2 ;;
    esac
done

bash scripts/setup.sh
jobs=${JOBS:-$(nproc)}

cmake --preset linux-bench >/dev/null
cmake --build --preset linux-bench -j "$jobs"
cmake --preset win32-bench >/dev/null
cmake --build --preset win32-bench -j "$jobs"
# The recorder's instruction count on the shipped 32-bit x86 as well, where
# the machine builds 32-bit programs.
linux32=""
if cmake --preset linux32-bench >/dev/null &&
    cmake --build --preset linux32-bench -j "$jobs" --target perf_driver; then
    linux32="--linux32 build/linux32-bench/bin"
else
    echo "perf: no 32-bit build; the 32-bit count is left out" >&2
fi

# The provider as it ships for CE: its DLL's counts on an emulated ARM CPU.
ce_arm=""
if cmake --preset ce-arm >/dev/null && cmake --build --preset ce-arm -j "$jobs"; then
    ce_arm="--ce-arm build/ce-arm/bin"
else
    echo "perf: no CE ARM build; its counts are left out" >&2
fi

mkdir -p docs
/usr/bin/python3 bench/perf/run_perf.py \
    --linux build/linux-bench/bin --win32 build/win32-bench/bin $linux32 $ce_arm \
    --out docs/performance.md --points "$points" --min-time "$min_time" $wine \
    --command "scripts/perf.sh $*"
