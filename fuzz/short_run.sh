#!/bin/sh
# A short fuzz run on a copy of the kept corpus, so the kept corpus stays small
# and unchanged: short_run.sh FUZZER CORPUS SECONDS
set -eu
fuzzer=$1
corpus=$2
seconds=$3
work=$(mktemp -d /tmp/sorvik-fuzz-run-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$corpus"/* "$work"/
# A crash leaves its input in the current folder; keep it beside the build.
"$fuzzer" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 "$work"
