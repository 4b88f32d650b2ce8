#!/usr/bin/env bash
# Checks the Windows deliverables in FOLDER: exactly one export,
# pluginPreInitMethod, undecorated; imports from system DLLs only
# (KERNEL32 and msvcrt); stripped size within budget.
set -euo pipefail
folder=${1:-build/win32/bin}
status=0

check() {
    local dll=$1 budget=$2
    [ -f "$dll" ] || { echo "$dll: missing"; status=1; return; }
    local dump exports imports size
    dump=$(i686-w64-mingw32-objdump -p "$dll")
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^\s+\[' | awk '{print $NF}')
    imports=$(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
    size=$(stat -c %s "$dll")
    echo "$(basename "$dll"): $size bytes (budget $budget), exports: $exports, imports: $imports"
    [ "$exports" = "pluginPreInitMethod" ] || { echo "  wrong exports"; status=1; }
    for i in $imports; do
        case $i in kernel32.dll | msvcrt.dll) ;; *) echo "  non-system import $i"; status=1 ;; esac
    done
    [ "$size" -le "$budget" ] || { echo "  over budget"; status=1; }
}

check "$folder/wendmark.dll" 65536
if [ -f "$folder/orvane.dll" ] || [ -f provider/orvane.def ]; then
    check "$folder/orvane.dll" 32768
fi
exit $status
