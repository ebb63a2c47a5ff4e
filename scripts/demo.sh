#!/bin/bash
# Builds everything, installs the server with the bundled simulated tag set in
# a folder of the demo's own Wine prefix, registers it, and lets the command-line
# client opcprobe use it through out-of-process COM.
source "$(dirname "$0")/common.sh"
install_packages
build_all
prepare_prefix
start_wine
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

BIN=$BUILD/bin
DEMO=$BUILD/demo
rm -rf "$DEMO"
mkdir -p "$DEMO/ErrorLog"
cp "$BIN/tagbridge.exe" "$BIN/Kelmsg.dll" "$BIN/Devlane.dll" "$BIN/opcproxy.dll" "$BIN/opcprobe.exe" "$DEMO/"
cp "$TOP/examples/live/Devlane.ini" "$DEMO/"
cp "$TOP/examples/simulation/OpcConfiguration.xml" "$TOP/examples/simulation/Tags.xml" \
   "$TOP/examples/simulation/Simulation.csv" "$DEMO/"

run() { (cd "$DEMO" && "$TOP/scripts/wine-run.sh" "$@"); }

log "version and self-check"
(cd "$BIN" && "$TOP/scripts/wine-run.sh" tbcheck.exe)

log "registering the proxy/stub and the server (tagbridge.exe /regserver)"
run regsvr32 /s opcproxy.dll
run tagbridge.exe /regserver
echo "registered: exit code $?"

log "opcprobe: status, two groups, their names (COM starts tagbridge.exe on demand)"
run opcprobe.exe status add-group Line1 1000 add-group - 250 list-groups status

log "opcprobe: browse the simulated tag set, one tag's properties"
run opcprobe.exe browse "" browse Line1.PLC1.Process props Line1.PLC1.Process.Level

log "opcprobe: read changing values twice, two seconds apart, then write and read back"
run opcprobe.exe read Line1.PLC1.Process.Level Line1.PLC1.Process.Ramp Line1.PLC1.Process.Wave Line1.PLC1.Process.Code --device \
    wait 2000 read Line1.PLC1.Process.Level Line1.PLC1.Process.Ramp Line1.PLC1.Process.Wave Line1.PLC1.Process.Code --device \
    write Line1.PLC1.Process.Pressure r8:5 read Line1.PLC1.Process.Pressure --device

log "opcprobe: subscribe to two changing tags and print every change for three seconds"
run opcprobe.exe watch Line1.PLC1.Process.Ramp Line1.PLC1.Process.Wave rate=500 duration=3000

log "the server ends when its last client lets go"
sleep 2
if pgrep -f "tagbridge.exe" >/dev/null; then echo "tagbridge.exe still running"; else echo "tagbridge.exe has ended"; fi
