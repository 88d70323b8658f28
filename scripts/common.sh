# Shared by the run, test and benchmark commands: installs the Debian packages the project needs and
# configures and builds it in build/. Source it from a script that has set -euo pipefail.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"
PACKAGES=(cmake ninja-build gcc g++ pkg-config qt6-base-dev libgl-dev libx11-dev libsqlite3-dev sqlite3
          xvfb xauth xdotool fonts-arphic-uming desktop-file-utils appstream qt6-translations-l10n
          openbox x11-utils dbus at-spi2-core python3-pyatspi mdbtools-dev mdbtools time
          postgresql-15 libpq-dev)

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# TAMRIX_WERROR=ON in the environment (as .ci/run sets it) makes every warning an error.
WERROR="-DTAMRIX_WERROR=${TAMRIX_WERROR:-OFF}"

build_project() {
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$WERROR" >/dev/null
    cmake --build "$BUILD" "$@"
}

# The same project built with AddressSanitizer and UndefinedBehaviorSanitizer, in its own folder.
BUILD_SANITIZED="$ROOT/build-asan"
build_sanitized() {
    cmake -S "$ROOT" -B "$BUILD_SANITIZED" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
        -DTAMRIX_SANITIZE=ON -DTAMRIX_BENCHMARKS=OFF "$WERROR" >/dev/null
    cmake --build "$BUILD_SANITIZED" "$@"
}
