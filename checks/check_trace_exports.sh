#!/bin/sh
# Fails unless the trace library is a drop-in for the bridge library: a DLL of
# the build's architecture that exports exactly the ordinals 1, 2, 3, 4, 6, 7,
# 9 and 12, with no names, and imports only Windows system DLLs (linked
# statically, so it needs nothing beside the program).
# Usage: check_trace_exports.sh OBJDUMP SiUSBXp.dll pei-i386|pei-x86-64
set -eu
if [ $# -ne 3 ]; then
    echo "usage: $0 OBJDUMP SiUSBXp.dll FORMAT" >&2
    exit 2
fi
objdump=$1
library=$2
format=$3
[ -f "$library" ] || { echo "$library: no such file" >&2; exit 2; }

listing=$("$objdump" -p "$library")
echo "$listing" | awk -v format="$format" '
    function fail(text) { print "check_trace_exports: " text > "/dev/stderr"; bad = 1 }
    /file format / { found_format = $NF }
    /^\tDLL Name: / { dlls[tolower($3)] = 1 }
    /^\t\[Name Pointer\/Ordinal\] Table/ { names = $NF + 0; name_table = 1 }
    /^\t\[ *[0-9]+\] \+base\[ *[0-9]+\] / {
        # "[   8] +base[   9] 85c0 Export RVA": the ordinal is the number in +base[...].
        line = $0
        sub(/.*\+base\[ */, "", line)
        sub(/\].*/, "", line)
        ordinals[line + 0]++
        if ($0 ~ /Forwarder RVA/) fail("ordinal " line " is forwarded, not our own code")
    }
    END {
        if (found_format != format) fail("file format " found_format ", expected " format)
        if (!name_table) fail("no export table")
        if (names != 0) fail(names " exported names; the operations must be exported by ordinal only")
        split("1 2 3 4 6 7 9 12", wanted, " ")
        for (i in wanted) {
            if (ordinals[wanted[i]] != 1) fail("ordinal " wanted[i] " exported " (ordinals[wanted[i]] + 0) " times")
            expected[wanted[i]] = 1
        }
        for (n in ordinals) if (!(n in expected)) fail("ordinal " n " is not one of the bridge operations")
        for (d in dlls) {
            if (d ~ /^(kernel32|user32|advapi32|ntdll|msvcrt|ucrtbase)\.dll$/) continue
            if (d ~ /^api-ms-win-/) continue
            fail("imports a DLL that is not part of Windows: " d)
        }
        exit bad
    }'
echo "check_trace_exports: $library exports the eight operations by ordinal only and imports only system DLLs"
