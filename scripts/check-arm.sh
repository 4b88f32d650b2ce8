#!/usr/bin/env bash
# Syntax-only compile of the provider, the contract and the Win32 platform
# layer for 32-bit ARM Windows as a desktop build. It checks that the code
# is C++03, that the driver and host layouts hold on ARM (their compile-time
# checks), and that the Win32 layer uses nothing the headers of that target
# lack. The Windows CE build is compiled for real by the ce-arm preset.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
mingw_include=${MINGW_INCLUDE:-/usr/share/mingw-w64/include}
compiler=${CLANG:-clang}

sources=(
  "$root"/provider/*.cpp
  "$root"/internal/*.cpp
  "$root"/platform/win/*.cpp
)

flags=(--target=armv7-w64-windows-gnu -fsyntax-only -std=c++03 -pedantic -Werror
       -Wall -Wextra -fno-exceptions -fno-rtti -isystem "$mingw_include")

status=0
for source in "${sources[@]}"; do
  if ! "$compiler" -x c++ "${flags[@]}" "$source"; then
    echo "check-arm: ${source#$root/} fails" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "check-arm: ${#sources[@]} sources pass"
exit $status
