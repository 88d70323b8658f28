#!/usr/bin/env bash
# Builds the Debian package: installs what the build needs, builds a release without tests in
# build-deb/ and runs CPack there, which leaves build-deb/tamrixdata_VERSION_ARCH.deb.
# Install it with: sudo apt install ./build-deb/tamrixdata_*.deb
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
# dpkg-shlibdeps (dpkg-dev) and file find the package's library dependencies.
PACKAGES+=(dpkg-dev file)
install_packages
OUT="$ROOT/build-deb"
cmake -S "$ROOT" -B "$OUT" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$OUT"
cd "$OUT"
cpack -G DEB
