#!/usr/bin/env bash
# Installs what the benchmarks need, builds, makes the demo databases (once, in build/bench-data)
# and prints every figure, the server's last (on a throwaway PostgreSQL cluster). Extra arguments
# go to tamrix_bench (for example --large, which adds the 1,000,000-record database to both).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
cd "$BUILD"
bin/tamrix_bench --data "$BUILD/bench-data" "$@"
sizes=(1000 100000)
for argument in "$@"; do
    [ "$argument" = --large ] && sizes+=(1000000)
done
"$ROOT/bench/startup.sh" "$BUILD/bin/TamrixData" "$BUILD/bench-data" "${sizes[@]}"
"$ROOT/bench/companion.sh" "$BUILD/bin/tamrixdata-db" "$BUILD/bench-data"
"$ROOT/bench/mdb-import.sh" "$BUILD/bin/tamrixdata-db"
"$ROOT/bench/server.sh" "$BUILD"
