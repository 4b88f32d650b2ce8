#!/usr/bin/env bash
# Checks that need no test run: the plugin and contract sources compile as
# C++03 with -pedantic, also for an ARM Windows target as the device SDKs
# build them, the C++ sources are formatted, and the set-up script copes
# with a package archive caught mid-sync.
set -euo pipefail
cd "$(dirname "$0")/.."

shopt -s nullglob
plugin_sources=(internal/*.cpp recorder/*.cpp provider/*.cpp)

echo "C++03, -pedantic, -Werror (host compiler)"
for f in "${plugin_sources[@]}" platform/posix/*.cpp platform/faults.cpp; do
    g++ -std=c++03 -pedantic -Wall -Wextra -Werror -fno-exceptions -fno-rtti -fsyntax-only "$f"
done

bash scripts/check-headers.sh

if [ -x scripts/check-arm.sh ]; then
    bash scripts/check-arm.sh
fi

echo "set-up dry runs"
bash scripts/test-setup.sh

echo "clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
