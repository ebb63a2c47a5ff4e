#!/usr/bin/env bash
# Runs mendkit's end-to-end test in a Wine prefix of its own (it replaces the
# prefix's msiexec.exe and writes uninstall entries) on a virtual display.
# Usage: run_e2e.sh <mendkit_e2e_tests.exe>
export TAGBRIDGE_WINEPREFIX=${TAGBRIDGE_BUILD:?}/mendkit-wineprefix
source "$(dirname "$0")/../../scripts/common.sh"

# A wineserver of this prefix left from a run on another display would keep
# that display for every window; start from none and leave none.
wineserver -k >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
prepare_prefix
# Without a window manager on the display, Wine draws captions and frames itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null
# The test puts its stand-in over the prefix's msiexec.exe; Wine would prefer its own.
wine reg add 'HKCU\Software\Wine\DllOverrides' /v msiexec.exe /t REG_SZ /d native /f >/dev/null 2>&1 </dev/null
wineserver -w >/dev/null 2>&1 || true

LANG=en_US.UTF-8 LC_ALL= xvfb-run -a -s '-screen 0 1024x768x24' wine "$1" </dev/null
