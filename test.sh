#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Extra arguments go to ctest,
# e.g. ./test.sh -R tst_ser_comm
source "$(dirname "$0")/scripts/common.sh"
corvane_install_deps
BUILD_DIR="${CORVANE_BUILD_DIR:-$CORVANE_ROOT/build}"
corvane_build "$BUILD_DIR" ${CORVANE_CMAKE_ARGS:-}
export QT_QPA_PLATFORM=offscreen
cd "$BUILD_DIR"
ctest --output-on-failure --parallel "$(nproc)" "$@"
