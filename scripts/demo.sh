#!/bin/bash
# Builds everything and runs the product under Wine with the bundled sample set.
source "$(dirname "$0")/common.sh"
install_packages
build_all
prepare_prefix
start_wine
trap stop_wine EXIT
cd "$BUILD/bin"
"$TOP/scripts/wine-run.sh" tbcheck.exe
