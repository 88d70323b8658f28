#!/usr/bin/env bash
# Export and import of 100,000 demo records by tamrixdata-db, against the sqlite3 shell's
# ".mode csv" export of the same two tables, measured in the same run: three rounds, each timing
# the shell, then every export and import in turn; the figures are medians. Target: each at most
# 1.5 times the shell's time. Then the peak memory of each import, from a file and from a pipe,
# beside the sqlite3 shell's .import of the same CSV.
#   companion.sh TAMRIXDATA_DB DATA_DIR
set -euo pipefail
tool=$1 data=$2
records=100000
dir="$data/companion-$records"
mkdir -p "$dir"
db="$dir/NoteData.db"
[ -f "$db" ] || "$tool" demo "$records" "$db" --seed 7 >/dev/null
work=$(mktemp -d "$dir/run.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$(dirname "${BASH_SOURCE[0]}")/timing.sh"
shell_export() { sqlite3 "$db" -cmd '.mode csv' -cmd '.headers on' -cmd ".output $work/shell.csv" \
    'SELECT * FROM Title;' 'SELECT * FROM Content;'; }
tool_export() { "$tool" export --force --format="$1" "$db" "$work/export.$1"; }
tool_import() { "$tool" import "$work/import.db" "$work/export.$1"; }
fresh_target() { rm -f "$work/import.db"; "$tool" init "$work/import.db"; }

declare -A times
for round in 1 2 3; do
    times[shell]+="$(seconds shell_export) "
    for format in csv json; do
        times[export-$format]+="$(seconds tool_export $format) "
        fresh_target
        times[import-$format]+="$(seconds tool_import $format) "
    done
done

floor=$(median "${times[shell]}")
printf '%-34s %10d %12.3f %-8s %12s %7s %8s  %s\n' "sqlite3 shell .mode csv export" "$records" "$floor" s - - - \
    "floor; runs: ${times[shell]% }"
for name in export-csv export-json import-csv import-json; do
    value=$(median "${times[$name]}")
    ratio=$(awk -v v="$value" -v f="$floor" 'BEGIN { printf "%.2f", v / f }')
    printf '%-34s %10d %12.3f %-8s %12.3f %7s %8s  %s\n' "tamrixdata-db ${name/-/ }" "$records" "$value" s "$floor" \
        "$ratio" "<= 1.50" "runs: ${times[$name]% }"
done

# The peak resident memory (the kernel's high-water mark, VmHWM, in kB) of a process started
# with "$@" in the background, sampled until it ends; "$@" must be the program itself, not a
# function, so that $! is its own process.
peak_of_last() {
    local pid=$! peak=0 value
    while kill -0 "$pid" 2>/dev/null; do
        value=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        if [ -n "$value" ] && [ "$value" -gt "$peak" ]; then peak=$value; fi
        sleep 0.02
    done
    wait "$pid"
    echo "$peak"
}
print_peak() {
    printf '%-34s %10d %12.1f %-8s %12s %7s %8s  %s\n' "$1" "$records" "$(awk -v k="$2" 'BEGIN { print k / 1024 }')" \
        MB - - - "peak resident memory (VmHWM); input $3"
}
size_mb() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.0f MB", b / 1048576 }'; }

sqlite3 "$work/shell-import.db" ".import --csv $work/export.csv Imported" >/dev/null 2>&1 &
print_peak "sqlite3 shell .import --csv" "$(peak_of_last)" "$(size_mb "$work/export.csv")"
for format in csv json; do
    fresh_target
    "$tool" import "$work/import.db" "$work/export.$format" >/dev/null &
    print_peak "tamrixdata-db import $format (file)" "$(peak_of_last)" "$(size_mb "$work/export.$format")"
    fresh_target
    "$tool" import "$work/import.db" - < <(cat "$work/export.$format") >/dev/null &
    print_peak "tamrixdata-db import $format (pipe)" "$(peak_of_last)" "$(size_mb "$work/export.$format")"
done
