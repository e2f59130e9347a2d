#!/bin/sh
# Fails when our i686 code holds x87 floating-point arithmetic: the x87 unit
# computes with excess precision, so a single-precision value such as the
# progress per cent comes out as another number.
# Usage: no_x87.sh OBJDUMP FILE... (archives or objects of our own code; an
# argument may hold several files separated by ';', as CMake passes lists)
set -eu
[ $# -ge 2 ] || { echo "usage: $0 OBJDUMP FILE..." >&2; exit 2; }
objdump=$1
shift
files=$(printf '%s;' "$@" | tr ';' '\n' | sed '/^$/d')
count=0
found=0
for file in $files; do
    count=$((count + 1))
    [ -f "$file" ] || { echo "no_x87: $file: no such file" >&2; exit 2; }
    # Arithmetic, comparisons, conversions and loads of the x87 unit; the
    # last column of a disassembly line is the instruction.
    hits=$("$objdump" -d --no-show-raw-insn "$file" | awk -F'\t' '
        /^[0-9a-f]+ <.*>:$/ { function_name = $0 }
        NF >= 2 {
            split($2, words, " ")
            if (words[1] ~ /^f(i?(add|sub|subr|mul|div|divr)p?|i?ld[a-z0-9]*|i?stp?|isttp|chs|abs|sqrt|prem1?|scale|rndint|sin|cos|sincos|ptan|patan|yl2x|yl2xp1|2xm1|u?comi?p?|u?compp|icomp?|tst|xam)$/)
                print function_name " " $2
        }')
    if [ -n "$hits" ]; then
        echo "no_x87: x87 instructions in $file:" >&2
        echo "$hits" | head -n 20 >&2
        found=1
    fi
done
[ $found -eq 0 ] && echo "no_x87: no x87 instruction in $count files of our code"
exit $found
