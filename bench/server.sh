#!/usr/bin/env bash
# The server's figures: a throwaway PostgreSQL 15 cluster on a local socket, demo databases of
# 10,000 and 100,000 records made with tamrixdata-db, and tamrix_server_bench on each.
#   bench/server.sh [BUILD]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
exec "$ROOT/tests/support/with-postgres.sh" bash -c '
set -euo pipefail
for records in 10000 100000; do
    createdb "bench$records"
    server="$TAMRIX_TEST_SERVER dbname=bench$records"
    "$0/bin/tamrixdata-db" init "$server"
    "$0/bin/tamrixdata-db" demo --seed=7 "$records" "$server" >/dev/null
    psql -q -d "bench$records" -c "VACUUM ANALYZE"
    "$0/bin/tamrix_server_bench" "$server" "$records"
done' "$BUILD"
