#!/usr/bin/env bash
# The installer package under Wine's own msiexec, in a prefix of this test's
# own: it installs, is used by a client, is removed, and is upgraded.
# Usage: run_package_tests.sh <current.msi> <older.msi>
export TAGBRIDGE_WINEPREFIX=${TAGBRIDGE_BUILD:?}/package-wineprefix
source "$(dirname "$0")/../../../scripts/common.sh"
set +e
CURRENT=$1
OLDER=$2
BIN=$BUILD/bin
failures=0

wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX"
trap 'wineserver -k >/dev/null 2>&1' EXIT
prepare_prefix
start_wine

UDIR=$WINEPREFIX/drive_c/Program\ Files/Vantrel/Kestrix
CLSID='{3E9B41C7-D2A8-4C55-8F06-7B1A9E2C64D3}'
APPID='{6A1D5C20-4B7E-4F19-9C3A-2E8B7D415F06}'
PROXY='{F6C15439-417F-44B3-BEA4-9805F85253DB}'
IOPCSERVER='{39C13A4D-011E-11D0-9675-0020AFD8ADB3}'
IOPCCOMMON='{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}'
OURS=("HKCR\\CLSID\\$CLSID" "HKCR\\CLSID\\$PROXY" "HKCR\\AppID\\$APPID" 'HKCR\AppID\tagbridge.exe'
      'HKCR\Vantrel.Kestrix.1' 'HKCR\Vantrel.Kestrix' 'HKLM\System\CurrentControlSet\Services\Kestrix')

pass() { echo "ok - $*"; }
fail() { echo "FAILED - $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
winpath() { printf 'Z:%s' "$(readlink -f "$1" | tr / '\\')"; }
msi() { wine msiexec "$@" /qn </dev/null; }
reg_value() { wine reg query "$1" ${2:+/v "$2"} ${3:+/ve} 2>/dev/null </dev/null | tr -d '\r' | grep '^    .*REG_'; }
key_exists() { wine reg query "$1" >/dev/null 2>&1 </dev/null; }
# Every key and value under the given keys, one line each, for comparing two registrations.
dump_keys() {
    for key in "$@"; do
        wine reg query "$key" /s 2>/dev/null </dev/null | tr -d '\r' | awk '
            /^HKEY_/ { k = $0; print k " |"; next }
            /^    / { sub(/^    /, ""); print k " | " $0 }'
    done | sed -e 's/^HKEY_CLASSES_ROOT/HKCR/' -e 's/^HKEY_LOCAL_MACHINE/HKLM/' | sort
}
# The interfaces whose proxy is ours, as the registry has them now.
interface_keys() {
    wine reg query 'HKCR\Interface' /s 2>/dev/null </dev/null | tr -d '\r' | awk -v ps="$PROXY" '
        /^HKEY_/ { k = $0; next }
        k ~ /\\ProxyStubClsid32$/ && index($0, ps) { sub(/\\ProxyStubClsid32$/, "", k); sub(/^HKEY_CLASSES_ROOT/, "HKCR", k); print k }'
}
# Waits until no server process of this prefix is left, so its files can go.
server_running() {
    local pid
    for pid in $(pgrep -f 'tagbridge.exe'); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}
wait_server_gone() {
    for _ in $(seq 1 120); do server_running || return 0; sleep 0.5; done
    return 1
}
probe() { (cd "$UDIR" && wine opcprobe.exe "$@" </dev/null 2>&1 | tr -d '\r'); }
# Activation by ProgID and a browse of the installed sample.
client_works() {
    local out
    out=$(probe --progid Vantrel.Kestrix.1 status browse "")
    echo "$out" | grep -q 'vendor: Vantrel.Kestrix' && echo "$out" | grep -q 'Line1' || { echo "$out" | tail -n 20; return 1; }
}

SHARED=("HKCR\\Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"
        "HKCR\\Component Categories\\{CC603642-66D7-48F1-B69A-B625E73652D7}")

echo "== what the programs register themselves, from the folder the package installs to"
mkdir -p "$UDIR"
cp "$BIN/tagbridge.exe" "$BIN/opcproxy.dll" "$BIN/Kelmsg.dll" "$BIN/Devlane.dll" "$UDIR/"
(cd "$UDIR" && wine regsvr32 /s opcproxy.dll </dev/null && wine tagbridge.exe /service </dev/null)
mapfile -t INTERFACES < <(interface_keys)
check "regsvr32 registers the proxy's interfaces (${#INTERFACES[@]})" test "${#INTERFACES[@]}" -ge 20
dump_keys "${OURS[@]}" "${INTERFACES[@]}" "${SHARED[@]}" >"$BUILD/package-self.txt"
(cd "$UDIR" && wine tagbridge.exe /unregserver </dev/null && wine regsvr32 /u /s opcproxy.dll </dev/null)
rm -rf "$WINEPREFIX/drive_c/Program Files/Vantrel"
for key in "${OURS[@]}" "${INTERFACES[@]}"; do key_exists "$key" && fail "left by /unregserver: $key"; done

echo "== another product's proxy for two of the interfaces, registered before ours"
FOREIGN='C:\Program Files\Other OPC\opcproxy.dll'
mkdir -p "$WINEPREFIX/drive_c/Program Files/Other OPC"
cp "$BIN/opcproxy.dll" "$WINEPREFIX/drive_c/Program Files/Other OPC/"
for iid in "$IOPCSERVER" "$IOPCCOMMON"; do
    wine reg add "HKCR\\Interface\\$iid\\ProxyStubClsid32" /ve /d "$IOPCSERVER" /f >/dev/null 2>&1 </dev/null
done
wine reg add "HKCR\\CLSID\\$IOPCSERVER\\InprocServer32" /ve /d "$FOREIGN" /f >/dev/null 2>&1 </dev/null
wine reg add "HKCR\\CLSID\\$IOPCSERVER\\InprocServer32" /v ThreadingModel /d Both /f >/dev/null 2>&1 </dev/null
foreign_intact() {
    reg_value "HKCR\\Interface\\$IOPCSERVER\\ProxyStubClsid32" "" ve | grep -q "$IOPCSERVER" &&
        reg_value "HKCR\\Interface\\$IOPCCOMMON\\ProxyStubClsid32" "" ve | grep -q "$IOPCSERVER" &&
        reg_value "HKCR\\CLSID\\$IOPCSERVER\\InprocServer32" "" ve | grep -qF "$FOREIGN"
}

echo "== install quietly, as the service, with the demo runtime"
msi /i "$(winpath "$CURRENT")" SERVICE=1 ADDLOCAL=ALL
check "msiexec /i ends with 0" test $? -eq 0
for f in tagbridge.exe opcproxy.dll Kelmsg.dll Devlane.dll opcprobe.exe OpcConfiguration.xml Tags.xml \
    Examples/simulation/Tags.xml Examples/live/Devlane.ini; do
    [ -f "$UDIR/$f" ] || fail "not installed: $f"
done
check "an ErrorLog folder beside the program" test -d "$UDIR/ErrorLog"
dump_keys "${OURS[@]}" "${INTERFACES[@]}" "${SHARED[@]}" >"$BUILD/package-msi.txt"
# The planted interfaces are the other product's now; Wine's installer writes
# a service's path unquoted where the server's own registration quotes it.
planted="Interface\\\\($IOPCSERVER|$IOPCCOMMON)"
normalize() { grep -Ev "$planted" "$1" | sed -E 's/(ImagePath +REG_SZ +)"(.*)"$/\1\2/'; }
if diff <(normalize "$BUILD/package-self.txt") <(normalize "$BUILD/package-msi.txt") >"$BUILD/package-diff.txt"; then
    pass "the package writes what /regserver, /service and regsvr32 write ($(wc -l <"$BUILD/package-msi.txt") values)"
else
    fail "the package's registration differs from the programs' own:"; cat "$BUILD/package-diff.txt"
fi
check "the other product's proxy registration is untouched by the install" foreign_intact
check "opcprobe activates the server by ProgID and browses the sample" client_works

echo "== remove quietly"
msi /x "$(winpath "$CURRENT")"
check "msiexec /x ends with 0" test $? -eq 0
check "the server has ended" wait_server_gone
# The planted interfaces are the other product's.
nothing_of_ours_left() {
    local key left=0
    for key in "${OURS[@]}" "${INTERFACES[@]}"; do
        case "$key" in *"$IOPCSERVER"*|*"$IOPCCOMMON"*) continue ;; esac
        key_exists "$key" && { echo "left behind: $key"; left=1; }
    done
    return $left
}
check "no class, ProgID, AppID, proxy, interface or service key of ours is left" nothing_of_ours_left
check "the other product's proxy registration is still there" foreign_intact
check "the programs are gone" test ! -e "$UDIR/tagbridge.exe" -a ! -e "$UDIR/opcproxy.dll" -a ! -e "$UDIR/Devlane.dll"
check "the plant's configuration stays" test -f "$UDIR/OpcConfiguration.xml" -a -f "$UDIR/Tags.xml"
rm -rf "$WINEPREFIX/drive_c/Program Files/Vantrel"

echo "== a default install leaves the demo runtime out"
msi /i "$(winpath "$CURRENT")"
check "default install: tagbridge.exe without Devlane.dll" test -f "$UDIR/tagbridge.exe" -a ! -e "$UDIR/Devlane.dll"
check "default install: registered, not as a service" test -n "$(reg_value "HKCR\\AppID\\$APPID" "" ve)" \
    -a -z "$(reg_value "HKCR\\AppID\\$APPID" LocalService)"
msi /x "$(winpath "$CURRENT")"
rm -rf "$WINEPREFIX/drive_c/Program Files/Vantrel"

echo "== upgrade from an older package while its service runs"
msi /i "$(winpath "$OLDER")" SERVICE=1 ADDLOCAL=ALL
check "the older package installs and COM starts its service" client_works
echo '<!-- edited on site -->' >>"$UDIR/OpcConfiguration.xml"
# Wine's installer does not carry feature states over (MigrateFeatureStates),
# so the demo runtime is asked for again.
msi /i "$(winpath "$CURRENT")" ADDLOCAL=ALL
check "msiexec /i of the newer package ends with 0" test $? -eq 0
# Uninstall entries with our name: key, then DisplayVersion.
mapfile -t products < <(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null </dev/null |
    tr -d '\r' | awk '/^HKEY_/ { ours = 0 } /DisplayName +REG_SZ +Vantrel Kestrix/ { ours = 1 }
                      /DisplayVersion +REG_SZ/ { version = $3 } /^$/ { if (ours) print version; ours = 0 }')
wanted=$(basename "$CURRENT" .msi | sed 's/^tagbridge-//')
check "one product registered after the upgrade, version $wanted (found: ${products[*]})" \
    test "${#products[@]}" -eq 1 -a "${products[0]:-}" = "$wanted"
check "still the service" test "$(reg_value "HKCR\\AppID\\$APPID" LocalService | awk '{print $3}')" = Kestrix
check "the edited configuration is kept" grep -q 'edited on site' "$UDIR/OpcConfiguration.xml"
check "activation works after the upgrade" client_works
msi /i "$(winpath "$OLDER")"
check "the older package refuses to replace the newer one" test $? -ne 0 -a -f "$UDIR/Devlane.dll"
msi /x "$(winpath "$CURRENT")"
check "the server has ended" wait_server_gone
check "nothing of ours is left after removing the upgraded product" nothing_of_ours_left

[ $failures -eq 0 ] && echo "all package checks passed" || echo "$failures package check(s) failed"
exit $((failures > 0))
