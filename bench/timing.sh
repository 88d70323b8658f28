# Shared by the benchmark scripts (source it): whole-command timings.

# Prints the seconds that "$@" takes.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}

# The middle one of three figures.
median() { printf '%s\n' $1 | sort -n | sed -n 2p; }
