#!/usr/bin/env bash
# Checks the Windows deliverables in FOLDER: exactly one export,
# pluginPreInitMethod, undecorated; imports from system DLLs only
# (KERNEL32 and msvcrt); stripped size within budget; a version resource
# with the project's version, the maker and the file's own name.
set -euo pipefail
folder=${1:-build/win32/bin}
status=0
version=$(sed -n 's/^project(navplugins VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")

# The value after KEY among the UTF-16 strings of the DLL's resource.
resource_value() {
    strings -el "$1" | awk -v key="$2" 'found { print; exit } $0 == key { found = 1 }'
}

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
    local name
    name=$(basename "$dll")
    echo "  version resource: $(resource_value "$dll" FileVersion), $(resource_value "$dll" CompanyName), $(resource_value "$dll" FileDescription)"
    [ "$(resource_value "$dll" FileVersion)" = "$version" ] &&
        [ "$(resource_value "$dll" ProductVersion)" = "$version" ] &&
        [ "$(resource_value "$dll" CompanyName)" = "Marvek Ltd." ] &&
        [ "$(resource_value "$dll" OriginalFilename)" = "$name" ] ||
        { echo "  no version resource of version $version, Marvek Ltd., $name"; status=1; }
}

check "$folder/wendmark.dll" 65536
if [ -f "$folder/orvane.dll" ] || [ -f provider/orvane.def ]; then
    check "$folder/orvane.dll" 32768
fi
exit $status
