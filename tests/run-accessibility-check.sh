#!/usr/bin/env bash
# Starts the real TamrixData on a demo database under a private X server (xvfb-run) with a window
# manager (openbox) and a session bus that starts the accessibility bus on demand, exposes the
# program to assistive technology as it would be to a running screen reader, and lets
# accessibility-check.py look at it through AT-SPI.
#   run-accessibility-check.sh PATH_OF_TamrixData PATH_OF_tamrixdata-db
# Needs the Debian packages xvfb, xauth, xdotool, x11-utils, openbox, dbus, at-spi2-core and
# python3-pyatspi (scripts/common.sh installs them).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if [ -z "${TAMRIX_ACCESSIBILITY_SESSION:-}" ]; then
    PROGRAM="$(realpath "${1:?path of TamrixData}")"
    DEMO_TOOL="$(realpath "${2:?path of tamrixdata-db}")"
    for tool in xvfb-run xdotool xwininfo xprop openbox dbus-run-session; do
        command -v "$tool" >/dev/null || fail "$tool is not installed"
    done
    # Debian's python with its pyatspi, whatever python comes first on the PATH.
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || fail "python3-pyatspi is not installed"
    WORK="$(mktemp -d)"
    trap 'rm -rf "$WORK"' EXIT
    "$DEMO_TOOL" demo 200 "$WORK/NoteData.db" >/dev/null || fail "cannot create the demo database"
    set +e
    TAMRIX_ACCESSIBILITY_SESSION="$WORK" xvfb-run -a -s "-screen 0 1280x1024x24" \
        dbus-run-session -- "$0" "$PROGRAM" "$DEMO_TOOL"
    code=$?
    set -e
    if [ "$code" -ne 0 ] && [ -s "$WORK/program.log" ]; then
        echo "--- program output ---"
        cat "$WORK/program.log"
    fi
    [ "$code" -eq 0 ] || fail "see above"
    echo "PASS: the screen reader's view of the program"
    exit 0
fi

# Inside the X server and the session bus.
PROGRAM="$1"
WORK="$TAMRIX_ACCESSIBILITY_SESSION"
cd "$WORK"
unset QT_QPA_PLATFORM
# shellcheck source-path=SCRIPTDIR source=support/window-manager.sh
source "$HERE/support/window-manager.sh"
start_window_manager "$WORK/openbox.log" || exit 1

# The checker listens for events before the program starts, as a screen reader that is already
# running does; Qt exposes itself on the accessibility bus when one runs, and this variable says so.
timeout 120 /usr/bin/python3 "$HERE/accessibility-check.py" "$WORK/NoteData.db" "$WORK/listening" &
checker=$!
for _ in $(seq 1 300); do
    [ -e "$WORK/listening" ] || ! kill -0 "$checker" 2>/dev/null && break
    sleep 0.1
done
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$PROGRAM" >program.log 2>&1 &
pid=$!
set +e
wait "$checker"
code=$?
set -e

# Closing the main window (the window manager's Alt+F4) ends the program.
xdotool search --onlyvisible --name '^Kovani电子数据库软件$' windowactivate --sync key alt+F4 >/dev/null 2>&1 || true
for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not end when its main window was closed" >&2
    kill "$pid"
    code=1
fi
set +e
wait "$pid"
ended=$?
set -e
if [ "$ended" -ne 0 ]; then
    echo "the program ended with exit code $ended" >&2
    code=1
fi
kill "$wm" 2>/dev/null || true
exit "$code"
