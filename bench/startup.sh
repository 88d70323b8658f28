#!/usr/bin/env bash
# Start-up of the real program under a real X server (Xvfb): from process start until its main window
# is mapped, which happens after the show handler has filled the list, and the process's peak
# resident memory then. Median of 5 runs (3 at 1,000,000 records) on each demo database given.
#   startup.sh TAMRIXDATA DATA_DIR RECORDS...
# DATA_DIR/RECORDS/NoteData.db must exist (tamrix_bench makes them).
set -euo pipefail
exe=$(realpath "$1") data=$(realpath "$2")
shift 2
if [ -z "${TAMRIX_UNDER_XVFB:-}" ]; then
    TAMRIX_UNDER_XVFB=1 exec xvfb-run -a -n $((200 + RANDOM % 600)) -s "-screen 0 1280x1024x24 -noreset" "$0" "$exe" "$data" "$@"
fi
for records in "$@"; do
    dir="$data/$records"
    [ -f "$dir/NoteData.db" ] || { echo "start-up: no $dir/NoteData.db" >&2; exit 1; }
    runs=5
    [ "$records" -ge 1000000 ] && runs=3
    times=() peaks=()
    for ((run = 0; run < runs; run++)); do
        # The map is seen as an X event (xev on the root window's children), so that nothing polls
        # for it: on a 2-core machine a poller that starts a process every few milliseconds takes
        # CPU time from the program it measures.
        coproc XEV { exec stdbuf -oL xev -root -event substructure; }
        # xev says nothing until an event comes; half a second is ample for it to start listening.
        sleep 0.5
        start=$(date +%s%N)
        (cd "$dir" && exec "$exe") &
        pid=$!
        window="" end=""
        while [ -z "$window" ] && read -t 120 -r line <&"${XEV[0]}"; do
            [[ "$line" == MapNotify* ]] || continue
            end=$(date +%s%N)
            read -t 5 -r line <&"${XEV[0]}" || break
            [[ "$line" =~ window\ (0x[0-9a-f]+) ]] || continue
            name=$(xdotool getwindowname "$((BASH_REMATCH[1]))" 2>/dev/null || true)
            [[ "$name" == *Kovani* ]] && window=${BASH_REMATCH[1]}
        done
        kill "$XEV_PID" 2>/dev/null || true
        wait "$XEV_PID" 2>/dev/null || true
        [ -n "$window" ] || { echo "start-up: the main window never appeared" >&2; kill "$pid"; exit 1; }
        times+=($(((end - start) / 1000000)))
        peaks+=($(awk '/^VmHWM:/ { print int($2 / 1024) }' "/proc/$pid/status"))
        kill "$pid" 2>/dev/null || true
        wait "$pid" || true
    done
    median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$((runs / 2 + 1))p")
    peak=$(printf '%s\n' "${peaks[@]}" | sort -n | sed -n "$((runs / 2 + 1))p")
    target=-
    [ "$records" -ge 1000000 ] && target="< 3 s"
    printf '%-32s %9d %10.4f %9.1f %10s %7s  %-22s %s\n' "start-up to a filled window" "$records" \
        "$(awk -v m="$median" 'BEGIN { print m / 1000 }')" "$peak" - - "$target" \
        "runs: ${times[*]} ms; peak: the process's whole resident high-water mark"
done
