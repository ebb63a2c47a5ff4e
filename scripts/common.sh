# Shared steps of the build, test and demo commands. Sourced, not run.
set -eu

TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TAGBRIDGE_BUILD:-$TOP/build}
export TAGBRIDGE_BUILD=$BUILD
export WINEPREFIX=${TAGBRIDGE_WINEPREFIX:-$BUILD/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

PACKAGES="g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine libwine-dev googletest cmake python3 procps xvfb xauth wixl msitools"

log() { printf '== %s\n' "$*"; }

install_packages() {
    local missing=""
    for p in $PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    log "installing:$missing"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

build_all() {
    log "configuring in $BUILD"
    cmake -S "$TOP" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$TOP/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} >"$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log"; return 1; }
    log "building"
    cmake --build "$BUILD" -j "$(nproc)" >"$BUILD.build.log" 2>&1 || { tail -n 60 "$BUILD.build.log"; return 1; }
}

# A prefix of our own inside the build tree, made once. A crash must fail the
# process, so the crash debugger points at a program that does not exist.
prepare_prefix() {
    if [ -f "$WINEPREFIX/.tagbridge-ready" ]; then return 0; fi
    log "creating Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >"$BUILD/wineboot.log" 2>&1 </dev/null || true
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ \
        /d 'C:\\windows\\no-such-debugger.exe "%ld %ld"' /f >>"$BUILD/wineboot.log" 2>&1 </dev/null
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 1 /f \
        >>"$BUILD/wineboot.log" 2>&1 </dev/null
    # The RPC service may not come up in the boot session; a restart makes later activations reliable.
    wineserver -w >/dev/null 2>&1 || true
    wineserver -k >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.tagbridge-ready"
}

# wineserver kept alive across the test run, detached from our pipes, so each
# Windows process does not wait for a fresh server to start and exit.
start_wine() {
    sh -c 'wineserver -p >/dev/null 2>&1 </dev/null; wine wineboot >/dev/null 2>&1 </dev/null' </dev/null >/dev/null 2>&1
}

stop_wine() {
    timeout 20 wineserver -w >/dev/null 2>&1 </dev/null || wineserver -k >/dev/null 2>&1 </dev/null || true
}
