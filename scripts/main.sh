#!/usr/bin/env bash
# The main job: installs what is missing, builds the Windows deliverables
# and checks their exports, imports and size.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$(nproc)"
bash scripts/check-dlls.sh build/win32/bin
echo "Deliverables are in build/win32/bin"
