#!/usr/bin/env bash
# Takes the README's screenshots (docs/main-window.png, docs/editor.png) from the real program on the
# demo database, under a private X server with openbox as window manager (apt-get install openbox).
#   tools/take-screenshots.sh [BUILD_DIR]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
if [ -z "${TAMRIX_SCREENSHOT_SESSION:-}" ]; then
    mkdir -p "$ROOT/demo"
    [ -f "$ROOT/demo/NoteData.db" ] || "$BUILD/bin/tamrixdata-db" demo 1000 "$ROOT/demo/NoteData.db"
    TAMRIX_SCREENSHOT_SESSION=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BUILD"
fi
openbox >/dev/null 2>&1 &
sleep 1
cd "$ROOT/demo"
"$BUILD/bin/TamrixData" &
pid=$!
sleep 2
main=$(xdotool search --onlyvisible --name Kovani | head -1)
eval "$(xdotool getwindowgeometry --shell "$main")"
# Click the third record, then move two lines down, so the pane shows a record chosen by the user.
xdotool mousemove $((X + 60)) $((Y + 2 + 17 + 17 * 2 + 8)) click 1
sleep 0.3
xdotool key Down Down
sleep 0.5
import -frame -window "$main" "$ROOT/docs/main-window.png"
# Double-click the fifth record to open it in the editor.
xdotool mousemove $((X + 60)) $((Y + 2 + 17 + 17 * 4 + 8)) click --repeat 2 --delay 80 1
sleep 1.5
editor=$(xdotool search --onlyvisible --name FormNote | head -1)
import -frame -window "$editor" "$ROOT/docs/editor.png"
kill "$pid"
