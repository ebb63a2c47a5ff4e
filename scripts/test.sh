#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs every test under Wine.
source "$(dirname "$0")/common.sh"

install_packages
build_all
prepare_prefix
start_wine
trap 'stop_wine_at_exit' EXIT
stop_wine_at_exit() { wineserver -k >/dev/null 2>&1 </dev/null || true; }

log "running tests"
cd "$BUILD"
set +e
ctest --output-on-failure --timeout 300 -j "${TEST_JOBS:-2}" "$@"
rc=$?
set -e
exit $rc
