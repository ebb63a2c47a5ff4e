#!/bin/sh
# Runs a Windows program under Wine with the build tree's own prefix.
# WINEPREFIX may be set by the caller; otherwise the prefix next to this checkout's build is used.
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=${TAGBRIDGE_BUILD:-$here/build}/wineprefix}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
exec wine "$@"
