#!/usr/bin/env bash
# The import of the earlier version's NoteData.mdb (17,143 records, 47,783 paragraphs) by
# tamrixdata-db, against Debian's mdbtools pipeline measured in the same run: mdb-export of both
# tables to CSV, then the sqlite3 shell's .import of both into a database of the project's schema.
# Three rounds, each timing the pipeline, then the import; the figures are medians. Target: at most
# 1.5 times the pipeline. Peak memory (the process's maximum resident set) is measured on the small
# sample file and on the large one, to show that it does not grow with the file.
#   mdb-import.sh TAMRIXDATA_DB [FIXTURES_DIR]
set -euo pipefail
tool=$1
fixtures=${2:-${TAMRIX_MDB_FIXTURES:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/../shared/fixtures}}
large="$fixtures/NoteData-20k.mdb"
small="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/data/NoteData-sample.mdb"
if [ ! -f "$large" ]; then
    echo "mdb import: $large not found (give the fixtures folder as second argument); skipped"
    exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$(dirname "${BASH_SOURCE[0]}")/timing.sh"
# Prints the peak resident set of "$@" in KB.
peak_kb() {
    /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null
    cat "$work/peak"
}
fresh() { rm -f "$1" "$1-journal"; "$tool" init "$1"; }
pipeline() {
    mdb-export "$large" Title >"$work/title.csv"
    mdb-export "$large" Content >"$work/content.csv"
    sqlite3 "$work/pipeline.db" ".import --csv --skip 1 $work/title.csv Title" \
        ".import --csv --skip 1 $work/content.csv Content"
}
tool_import() { "$tool" import "$work/import.db" "$large"; }

pipeline_times="" import_times=""
for round in 1 2 3; do
    fresh "$work/pipeline.db"
    pipeline_times+="$(seconds pipeline) "
    fresh "$work/import.db"
    import_times+="$(seconds tool_import) "
done
floor=$(median "$pipeline_times")
value=$(median "$import_times")
ratio=$(awk -v v="$value" -v f="$floor" 'BEGIN { printf "%.2f", v / f }')
records=$(sqlite3 "$work/import.db" "SELECT count(*) FROM Title")
printf '%-34s %10d %12.3f %-8s %12s %7s %8s  %s\n' "mdb-export + sqlite3 .import" "$records" "$floor" s - - - \
    "floor; runs: ${pipeline_times% }"
printf '%-34s %10d %12.3f %-8s %12.3f %7s %8s  %s\n' "tamrixdata-db import NoteData.mdb" "$records" "$value" s \
    "$floor" "$ratio" "<= 1.50" "runs: ${import_times% }"

fresh "$work/small.db"
small_kb=$(peak_kb "$tool" import "$work/small.db" "$small")
fresh "$work/peak.db"
large_kb=$(peak_kb "$tool" import "$work/peak.db" "$large")
printf 'mdb import peak memory: %d KB for %s records (sample), %d KB for %d records\n' "$small_kb" \
    "$(sqlite3 "$work/small.db" "SELECT count(*) FROM Title")" "$large_kb" "$records"
