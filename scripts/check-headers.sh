#!/usr/bin/env bash
# The public contract headers compile on their own as C89, C99 and C11 and
# as C++03 and C++11, -pedantic -Werror, with gcc, clang and mingw; the
# 32-bit compilers (-m32, mingw) also run the layout checks, in C and C++.
set -euo pipefail
cd "$(dirname "$0")/.."

headers=(base.h gps_record.h host_services.h plugin.h)
flags=(-pedantic -Wall -Wextra -Werror -fsyntax-only)
count=0

try() {
    local header=$1
    shift
    if ! printf '#include "contract/%s"\n' "$header" | "$@" "${flags[@]}" -I. -; then
        echo "failed: $* on $header"
        exit 1
    fi
    count=$((count + 1))
}

for h in "${headers[@]}"; do
    for std in c89 c99 c11; do
        try "$h" gcc -x c -std=$std
        try "$h" gcc -m32 -x c -std=$std
        try "$h" clang -x c -std=$std
        try "$h" i686-w64-mingw32-gcc -x c -std=$std
    done
    for std in c++03 c++11; do
        try "$h" g++ -x c++ -std=$std
        try "$h" g++ -m32 -x c++ -std=$std
        try "$h" i686-w64-mingw32-g++ -x c++ -std=$std
    done
done

# A layout check must be able to fail: a wrong offset is refused in C.
if printf '#include "contract/plugin.h"\nCONTRACT_STATIC_ASSERT(offsetof(PluginDescriptor, gpsData) == 52, wrong);\n' |
    gcc -m32 -x c -std=c89 "${flags[@]}" -I. - 2>/dev/null; then
    echo "failed: a wrong layout passed the check"
    exit 1
fi
echo "public headers: $count compilations clean, layout checks active"
