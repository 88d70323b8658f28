# shellcheck shell=bash
# Sourced by the scripts that drive the real program under xvfb-run. start_window_manager LOG starts
# openbox (its output into LOG) and waits up to 30 s until it manages the screen; wm is then its
# process id. On a timeout it says so with the log and fails.
start_window_manager() {
    openbox >"$1" 2>&1 &
    # shellcheck disable=SC2034 # for the sourcing script
    wm=$!
    for _ in $(seq 1 300); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
        sleep 0.1
    done
    echo "openbox did not start within 30 s:" >&2
    cat "$1" >&2
    return 1
}
