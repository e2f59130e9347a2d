#!/bin/sh
# Fails unless the program imports only Windows system DLLs and the bridge
# library, the latter by bare ordinals: exactly 1, 2, 3, 4, 6, 7, 9 and 12.
# Usage: check_imports.sh OBJDUMP PROGRAM.exe
set -eu
if [ $# -ne 2 ]; then
    echo "usage: $0 OBJDUMP PROGRAM.exe" >&2
    exit 2
fi
objdump=$1
program=$2
[ -f "$program" ] || { echo "$program: no such file" >&2; exit 2; }

listing=$("$objdump" -p "$program")
echo "$listing" | awk '
    function fail(text) { print "check_imports: " text > "/dev/stderr"; bad = 1 }
    # One block per DLL: "DLL Name: X", a heading line, one line per import, a blank line.
    /^\tDLL Name: / {
        dll = $3; lower = tolower(dll); seen[lower] = 1; inblock = 1; next
    }
    inblock && /^\tvma:/ { next }
    inblock && /^[ \t]*$/ { inblock = 0; next }
    inblock {
        # The first field is the import lookup entry in hex. Its top bit marks
        # an import by ordinal, whose number is the low 16 bits; otherwise it
        # points at a hint and a name.
        entry = $1
        byordinal = (length(entry) == 8 || length(entry) == 16) && substr(entry, 1, 1) == "8" \
                    && $NF == "<none>"
        if (lower == "siusbxp.dll") {
            if (!byordinal) { fail("SiUSBXp.dll imported by name: " $0); next }
            number = 0
            low = substr(entry, length(entry) - 3)
            for (i = 1; i <= 4; i++) number = number * 16 + index("0123456789abcdef", tolower(substr(low, i, 1))) - 1
            ordinals[number]++
        }
        next
    }
    END {
        if (!("siusbxp.dll" in seen)) fail("SiUSBXp.dll is not imported")
        split("1 2 3 4 6 7 9 12", wanted, " ")
        for (i in wanted) {
            if (ordinals[wanted[i]] != 1) fail("SiUSBXp.dll ordinal " wanted[i] " imported " (ordinals[wanted[i]] + 0) " times")
            expected[wanted[i]] = 1
        }
        for (n in ordinals) if (!(n in expected)) fail("SiUSBXp.dll ordinal " n " is not one of ours")
        for (d in seen) {
            if (d == "siusbxp.dll") continue
            if (d ~ /^(kernel32|user32|gdi32|advapi32|shell32|ole32|comdlg32|msvcrt|ucrtbase)\.dll$/) continue
            if (d ~ /^api-ms-win-/) continue
            fail("imports a DLL that is not part of Windows: " d)
        }
        exit bad
    }'
echo "check_imports: $program imports only system DLLs and SiUSBXp.dll by ordinal"
