#!/usr/bin/env bash
# Installs what the program needs, builds it, creates the demo database demo/NoteData.db (1,000
# records) if it is missing, and starts the program with demo/ as its current directory.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
DEMO="$ROOT/demo"
mkdir -p "$DEMO"
if [ ! -f "$DEMO/NoteData.db" ]; then
    "$BUILD/bin/tamrixdata-db" demo 1000 "$DEMO/NoteData.db"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: set DISPLAY (or run under xvfb-run) to see the program's windows." >&2
    echo "The demo database is ready at $DEMO/NoteData.db." >&2
    exit 1
fi
cd "$DEMO"
exec "$BUILD/bin/TamrixData"
