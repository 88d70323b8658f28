#!/usr/bin/env bash
# Checks that every tracked C++ file is formatted as .clang-format says, with the clang-format of
# Debian 12 (14), so that the result does not depend on whose machine runs it. Lists the files and
# lines that differ and fails; `clang-format-14 -i FILE` fixes one.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
PACKAGES=(clang-format-14)
install_packages
cd "$ROOT"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run --Werror
