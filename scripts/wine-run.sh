#!/bin/sh
# Runs a Windows program under Wine with the build tree's own prefix.
# WINEPREFIX may be set by the caller; otherwise the prefix next to this checkout's build is used.
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=${TAGBRIDGE_BUILD:-$here/build}/wineprefix}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG

case "$1" in
*_tests.exe) ;;
*) exec wine "$@" ;;
esac

# Under heavy parallel load Wine has, rarely, ended a test program before its
# first instruction, silently and with a failure code. A test program leaves
# the marker file named here as it starts, so a failure without the marker
# means it never ran: that one start is repeated, and said so. A program that
# ran and failed is never repeated.
marker=$(mktemp -u /tmp/tagbridge-started.XXXXXX)
trap 'rm -f "$marker"' EXIT
TAGBRIDGE_STARTED_MARKER="Z:$(printf '%s' "$marker" | tr / '\\')"
export TAGBRIDGE_STARTED_MARKER
wine "$@"
rc=$?
if [ $rc -ne 0 ] && [ ! -e "$marker" ]; then
    echo "wine-run: $1 ended with code $rc before it started; starting it once more" >&2
    wine "$@"
    rc=$?
fi
exit $rc
