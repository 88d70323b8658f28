#!/bin/bash
# Runs a command against a throwaway PostgreSQL 15 cluster of its own: initdb and pg_ctl as an
# unprivileged user (the postgres account when run as root), trust authentication on a socket in a
# temporary folder, no TCP. The command sees the cluster's connection string in TAMRIX_TEST_SERVER
# (and PGHOST, PGUSER, PGDATABASE). The cluster is stopped and removed when the command ends, also
# when it fails or the script is interrupted; the command's exit status is the script's.
#
#   with-postgres.sh COMMAND [ARGUMENT...]
set -euo pipefail

BIN=${TAMRIX_PG_BIN:-/usr/lib/postgresql/15/bin}
[ -x "$BIN/initdb" ] || { echo "with-postgres.sh: no PostgreSQL 15 in $BIN (install postgresql-15)" >&2; exit 1; }
[ $# -gt 0 ] || { echo "usage: with-postgres.sh COMMAND [ARGUMENT...]" >&2; exit 2; }

AS=()
if [ "$(id -u)" -eq 0 ]; then
    # The server refuses to run as root.
    AS=(runuser -u postgres --)
fi

DIR=$(mktemp -d /tmp/tamrix-pg.XXXXXX)
chmod 755 "$DIR"
[ ${#AS[@]} -gt 0 ] && chown postgres: "$DIR"

stop_cluster() {
    if [ -f "$DIR/data/postmaster.pid" ]; then
        "${AS[@]}" "$BIN/pg_ctl" -D "$DIR/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$DIR"
}
trap stop_cluster EXIT
trap 'exit 130' INT TERM

"${AS[@]}" "$BIN/initdb" -D "$DIR/data" -U tamrix --auth=trust -E UTF8 --locale=C.UTF-8 --no-sync >"$DIR/initdb.log" 2>&1 ||
    { cat "$DIR/initdb.log" >&2; exit 1; }
# Small and quick: no disk syncs, a socket only. A restart takes the same options.
OPTIONS="-k $DIR -c listen_addresses= -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=40"
"${AS[@]}" "$BIN/pg_ctl" -D "$DIR/data" -l "$DIR/server.log" -w -t 60 -o "$OPTIONS" start >/dev/null ||
    { cat "$DIR/server.log" >&2; exit 1; }
"${AS[@]}" "$BIN/createdb" -h "$DIR" -U tamrix tamrix

export PGHOST="$DIR" PGUSER=tamrix PGDATABASE=tamrix
export TAMRIX_TEST_SERVER="host=$DIR user=tamrix dbname=tamrix"
export TAMRIX_PG_DATA="$DIR/data" TAMRIX_PG_BIN="$BIN"
# How a test restarts the server mid-session: as the user the cluster runs as.
export TAMRIX_PG_CTL="${AS[*]} $BIN/pg_ctl -D $DIR/data -l $DIR/server.log -w -o '$OPTIONS'"
status=0
"$@" || status=$?
exit $status
