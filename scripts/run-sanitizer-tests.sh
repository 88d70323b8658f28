#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/ and runs every
# test there with leak checks on. Any sanitizer report fails its test; leaks inside system libraries
# are suppressed by tests/sanitizer-suppressions.txt, each with its reason.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
build_sanitized
cd "$BUILD_SANITIZED"
export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --output-on-failure --timeout 600 -j2 "$@"
