#!/usr/bin/env bash
# Starts the real TamrixData under a private X server (xvfb-run) with a window manager (openbox) on
# a demo database in a temporary directory, chosen through TAMRIXDATA_DATABASE, and waits for the
# main window. Then, with that window minimised, a second copy on the same database must bring it
# back to the front and end with exit code 0, showing nothing; while the first copy is stopped
# (SIGSTOP) and so cannot answer, a further copy must be refused with a message box (closing it ends
# that copy with exit code 1). Finally the main window is closed as a user would (WM_DELETE_WINDOW)
# and the program must end by itself with exit code 0.
#   run-real-executable.sh PATH_OF_TamrixData PATH_OF_tamrixdata-db [SCREENSHOT.png]
# With a third argument the screen is saved there once the main window is up.
set -euo pipefail

PROGRAM="${1:?path of TamrixData}"
DEMO_TOOL="${2:?path of tamrixdata-db}"
SHOT="${3:-}"
CAPTION="Kovani电子数据库软件"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for tool in xvfb-run xdotool xprop openbox; do
    command -v "$tool" >/dev/null ||
        fail "$tool is not installed (Debian packages xvfb, xauth, xdotool, x11-utils and openbox)"
done
[ -x "$PROGRAM" ] || fail "no executable at $PROGRAM"
[ -x "$DEMO_TOOL" ] || fail "no executable at $DEMO_TOOL"

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
# A database chosen by name rather than the default NoteData.db, which is absent: every copy must
# find the running one through the file it has open.
"$DEMO_TOOL" demo 200 "$WORK/Chosen.db" >/dev/null || fail "cannot create the demo database"

# A bare X server has no window manager to turn a close request into WM_DELETE_WINDOW, and xdotool's
# windowclose destroys the window behind the program's back; this sends the message the close box
# sends. Xlib's headers and library come with the OpenGL development package the build needs.
cat >"$WORK/close-window.c" <<'CLOSER'
#include <X11/Xlib.h>
#include <stdlib.h>
#include <string.h>
int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    Display* display = XOpenDisplay(NULL);
    if (!display)
        return 3;
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = (Window)strtoul(argv[1], NULL, 0);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}
CLOSER
"${CC:-cc}" -o "$WORK/close-window" "$WORK/close-window.c" -lX11 ||
    fail "cannot build the close helper (needs a C compiler and libx11-dev)"

# Runs inside xvfb-run: starts the program from the database's directory, waits for its main window,
# optionally takes the screenshot, closes the window and hands back the program's exit code.
cat >"$WORK/session.sh" <<'SESSION'
#!/usr/bin/env bash
set -u
PROGRAM="$1" CAPTION="$2" SHOT="$3"
cd "$(dirname "$0")"
unset QT_QPA_PLATFORM
export TAMRIXDATA_DATABASE=Chosen.db
openbox >/dev/null 2>&1 &
wm=$!
trap 'kill "$wm" 2>/dev/null' EXIT
for _ in $(seq 1 300); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done

# Waits up to 10 s for the process to end; false when it still runs.
ended() {
    for _ in $(seq 1 100); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

"$PROGRAM" >program.log 2>&1 &
pid=$!

window=""
for _ in $(seq 1 300); do
    if ! kill -0 "$pid" 2>/dev/null; then
        wait "$pid"
        echo "the program ended before its main window appeared (exit code $?)" >&2
        exit 101
    fi
    window="$(xdotool search --onlyvisible --name "^${CAPTION}\$" 2>/dev/null | head -n 1 || true)"
    [ -n "$window" ] && break
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "no visible window captioned $CAPTION within 30 s" >&2
    kill "$pid" 2>/dev/null
    exit 102
fi

echo "main window $window: $(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: /size /p')"
if [ -n "$SHOT" ]; then
    # Let the first list load and paint before the picture is taken.
    sleep 1
    import -window root "$SHOT" || echo "screenshot failed" >&2
fi

# Whether the window manager shows the main window (not minimised) as the active window.
in_front() {
    ! xprop -id "$window" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_HIDDEN &&
        [ "$(xdotool getactivewindow 2>/dev/null)" = "$((window))" ]
}

# A second copy on the same database while the window is minimised: the window comes back to the
# front and the second copy ends without a word.
xdotool windowminimize --sync "$window"
for _ in $(seq 1 50); do
    in_front || break
    sleep 0.1
done
if in_front; then
    echo "the window manager did not minimise the main window" >&2
    kill "$pid" 2>/dev/null
    exit 104
fi
"$PROGRAM" >second.log 2>&1 &
second=$!
if ! ended "$second"; then
    echo "a second copy on the same database did not end within 10 s" >&2
    kill "$second" "$pid" 2>/dev/null
    exit 104
fi
wait "$second"
code=$?
for _ in $(seq 1 50); do
    in_front && break
    sleep 0.1
done
if [ "$code" -ne 0 ] || ! in_front || ! kill -0 "$pid" 2>/dev/null; then
    echo "the second copy ended with exit code $code (expected 0), or the first copy's window is not in" \
        "front, or the first copy ended" >&2
    xprop -id "$window" _NET_WM_STATE >&2
    kill "$pid" 2>/dev/null
    exit 104
fi
echo "a second copy brought the running window to the front"

# A copy that cannot answer (stopped): the next start is refused with a box captioned by the
# program's title.
kill -STOP "$pid"
"$PROGRAM" >third.log 2>&1 &
third=$!
box=""
for _ in $(seq 1 300); do
    kill -0 "$third" 2>/dev/null || break
    box="$(xdotool search --onlyvisible --name '^Tamrixdata$' 2>/dev/null | head -n 1 || true)"
    [ -n "$box" ] && break
    sleep 0.1
done
kill -CONT "$pid"
if [ -z "$box" ]; then
    echo "a copy started while the first one could not answer showed no refusal box" >&2
    kill "$third" "$pid" 2>/dev/null
    exit 104
fi
./close-window "$box"
ended "$third" || kill "$third"
wait "$third"
code=$?
if [ "$code" -ne 1 ] || ! kill -0 "$pid" 2>/dev/null; then
    echo "the refused copy ended with exit code $code (expected 1), or the first copy ended too" >&2
    kill "$pid" 2>/dev/null
    exit 104
fi

./close-window "$window"
if ! ended "$pid"; then
    echo "the program did not end within 10 s of closing its main window" >&2
    kill "$pid" 2>/dev/null
    exit 103
fi
wait "$pid"
exit $?
SESSION
chmod +x "$WORK/session.sh"

set +e
xvfb-run -a -s "-screen 0 1024x768x24" "$WORK/session.sh" "$PROGRAM" "$CAPTION" "$SHOT"
code=$?
set -e
if [ -s "$WORK/program.log" ]; then
    echo "--- program output ---"
    cat "$WORK/program.log"
fi
case "$code" in
0) echo "PASS: the main window appeared, a second copy brought it to the front (one that found it stopped was refused), and closing the window ended the program with exit code 0" ;;
101 | 102 | 103 | 104) fail "see above" ;;
*) fail "the program ended with exit code $code after its main window was closed" ;;
esac
