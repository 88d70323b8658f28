#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test with ctest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_project
cd "$BUILD"
ctest --output-on-failure --timeout 600 "$@"
