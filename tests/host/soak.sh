#!/usr/bin/env bash
# The long soak run: the regular soak test of the real server for as long as
# asked (default 1500 s, 25 minutes), with its figures printed at the end.
#   TAGBRIDGE_BUILD=build tests/host/soak.sh [seconds]
# Needs a build (scripts/test.sh makes one). Runs in a Wine prefix of its
# own (TAGBRIDGE_SOAK_PREFIX, default build/wineprefix-soak), so the other
# tests can run meanwhile. Prints private bytes, handles and threads every
# 500 cycles and start, baseline (after warm-up), end and maximum; fails like
# the test on growth.
source "$(dirname "$0")/../../scripts/common.sh"
export WINEPREFIX=${TAGBRIDGE_SOAK_PREFIX:-$BUILD/wineprefix-soak}

seconds=${1:-1500}
[ -x "$BUILD/bin/host_soak_tests.exe" ] || { echo "build host_soak_tests first" >&2; exit 2; }
prepare_prefix
start_wine
trap 'stop_wine' EXIT

cd "$BUILD/bin"
# A copy of the soak's folder, so the short soak of a ctest run can go on meanwhile.
rm -rf host-soak-long && cp -r host-soak host-soak-long
wine regsvr32 /s opcproxy.dll </dev/null >/dev/null 2>&1
log "soak run of $seconds s"
set +e
TAGBRIDGE_SOAK_FOLDER=host-soak-long TAGBRIDGE_SOAK_SECONDS=$seconds wine host_soak_tests.exe --gtest_filter='LiveSoakTest.*' </dev/null 2>&1 |
    tr -d '\r'
exit "${PIPESTATUS[0]}"
