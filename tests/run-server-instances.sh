#!/usr/bin/env bash
# Three copies of the real TamrixData on one PostgreSQL database at the same time, under a private X
# server (xvfb-run) with a window manager (openbox) and a session bus that starts the accessibility
# bus on demand. server-instances.py starts the copies and drives them through AT-SPI: three editors
# composing new records at once, one cancelled, two stored, then two editors on the same record, then
# a server restart under an editor and an idle main window, and checks the database with psql and
# tamrixdata-db check.
#   run-server-instances.sh PATH_OF_TamrixData PATH_OF_tamrixdata-db [SCREENSHOT.png]
# Runs inside support/with-postgres.sh, which gives the server in TAMRIX_TEST_SERVER and the command
# that restarts it in TAMRIX_PG_CTL. With a third argument the screen is saved there while the three
# editors are open, and beside it (NAME-restart.png) with the box that tells of the lost connection.
# Needs the Debian packages xvfb, xauth, xdotool, x11-utils, openbox, dbus, at-spi2-core,
# python3-pyatspi and postgresql-15 with its psql (scripts/common.sh installs them).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if [ -z "${TAMRIX_INSTANCES_SESSION:-}" ]; then
    PROGRAM="$(realpath "${1:?path of TamrixData}")"
    TOOL="$(realpath "${2:?path of tamrixdata-db}")"
    SHOT="${3:+$(realpath -m "$3")}"
    [ -n "${TAMRIX_TEST_SERVER:-}" ] || fail "no TAMRIX_TEST_SERVER: run this inside tests/support/with-postgres.sh"
    [ -n "${TAMRIX_PG_CTL:-}" ] || fail "no TAMRIX_PG_CTL: run this inside tests/support/with-postgres.sh"
    for tool in xvfb-run xdotool xprop openbox dbus-run-session psql; do
        command -v "$tool" >/dev/null || fail "$tool is not installed"
    done
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || fail "python3-pyatspi is not installed"
    WORK="$(mktemp -d)"
    trap 'rm -rf "$WORK"' EXIT
    for command in init "demo 20"; do
        # shellcheck disable=SC2086 # "demo 20" is the command and its count
        "$TOOL" $command "$TAMRIX_TEST_SERVER" >>"$WORK/tool.log" 2>&1 ||
            { cat "$WORK/tool.log"; fail "tamrixdata-db $command"; }
    done
    set +e
    TAMRIX_INSTANCES_SESSION="$WORK" xvfb-run -a -s "-screen 0 1600x1200x24" \
        dbus-run-session -- "$0" "$PROGRAM" "$TOOL" "$SHOT"
    code=$?
    set -e
    if [ "$code" -ne 0 ]; then
        for log in "$WORK"/instance-*.log; do
            [ -s "$log" ] || continue
            echo "--- $(basename "$log" .log) output ---"
            cat "$log"
        done
        fail "see above"
    fi
    echo "PASS: three copies on one server composed, cancelled, stored, conflicted and outlived a server restart without losing or mixing anything"
    exit 0
fi

# Inside the X server and the session bus.
cd "$TAMRIX_INSTANCES_SESSION"
unset QT_QPA_PLATFORM
# shellcheck source-path=SCRIPTDIR source=support/window-manager.sh
source "$HERE/support/window-manager.sh"
start_window_manager openbox.log || exit 1
trap 'kill "$wm" 2>/dev/null || true' EXIT
timeout 150 /usr/bin/python3 "$HERE/server-instances.py" "$1" "$2" "$TAMRIX_INSTANCES_SESSION" "${3:-}"
