#!/usr/bin/env bash
# Start-up time of the real program: from process start until its main window is mapped, which
# happens after the show handler has filled the list. Median of 7 runs on 10,000 demo records,
# under a real X server (Xvfb).
#   startup.sh TAMRIXDATA TAMRIXDATA_DB DATA_DIR
set -euo pipefail
exe=$1 tool=$2 data=$3
dir="$data/startup-10000"
mkdir -p "$dir"
[ -f "$dir/NoteData.db" ] || "$tool" demo 10000 "$dir/NoteData.db" --seed 7 >/dev/null
if [ -z "${TAMRIX_UNDER_XVFB:-}" ]; then
    TAMRIX_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
cd "$dir"
times=()
for run in 1 2 3 4 5 6 7; do
    start=$(date +%s%N)
    "$exe" &
    pid=$!
    window=""
    for _ in $(seq 1 2000); do
        window=$(xdotool search --onlyvisible --name "Kovani" 2>/dev/null | head -1 || true)
        [ -n "$window" ] && break
        sleep 0.005
    done
    end=$(date +%s%N)
    [ -n "$window" ] || { echo "start-up: the main window never appeared" >&2; kill "$pid"; exit 1; }
    times+=($(( (end - start) / 1000000 )))
    kill "$pid" 2>/dev/null || true
    wait "$pid" || true
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
median=${sorted[3]}
printf '%-34s %10d %12.3f %-8s %12s %7s %8s  %s\n' "start-up to filled main window" 10000 \
    "$(awk -v m="$median" 'BEGIN { print m / 1000 }')" s - - "< 0.50" "median of 7 runs: ${times[*]} ms"
