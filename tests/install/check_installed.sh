#!/usr/bin/env bash
# The component as a host developer meets it: installed into a fresh prefix,
# its public headers compiled alone, and the three example hosts (CMake, C
# with pkg-config, Python with ctypes) built against that prefix only and run
# on a demo laboratory, offscreen and unattended.
#   check_installed.sh BUILD_DIR SOURCE_DIR [sanitized]
set -euo pipefail
build=$1
source=$2
# A sanitized component needs its runtime loaded first in hosts built without it.
preload=()
if [ "${3:-}" = sanitized ]; then
    preload=(env "LD_PRELOAD=$(cc -print-file-name=libasan.so) $(cc -print-file-name=libubsan.so)"
             ASAN_OPTIONS=detect_leaks=0)
fi
# Everything goes into a folder made here, and only that folder is removed.
work=$(mktemp -d "${TMPDIR:-/tmp}/lis-install.XXXXXX")
trap 'case "$work" in */lis-install.??????) rm -rf -- "$work" ;; esac' EXIT
prefix=$work/prefix
fail() { echo "FAILED: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name 'liblisresultentry.so.*.*' | head -1)
[ -n "$lib" ] || fail "no versioned library installed"
libdir=$(dirname "$lib")
[ -L "$libdir/liblisresultentry.so.0" ] || fail "no soname link liblisresultentry.so.0"
readelf -d "$lib" | grep -q 'SONAME.*liblisresultentry.so.0' || fail "soname is not liblisresultentry.so.0"
[ -f "$prefix/share/lis-result-entry/reports/LabPrint_WithCutOff.RPT" ] || fail "report files not installed"
[ -x "$prefix/bin/lis-host" ] && [ -x "$prefix/bin/lis-instrument" ] || fail "programs not installed"
grep -qx "ExecStart=$prefix/bin/lis-instrument serve %i" "$prefix/lib/systemd/system/lis-instrument@.service" \
    || fail "no service unit running the installed lis-instrument"
ls "$prefix/include/lis" | sort | tr '\n' ' ' | grep -qx 'AutomationObject.h ConnSettings.h LisError.h clsLISResultEntry.h lis.h lis_export.h ' \
    || fail "public headers are not exactly the host-facing ones: $(ls "$prefix/include/lis")"

# Each public header alone, as C++17 and C++20 (and the C one as C), warnings as errors.
qt=$(pkg-config --cflags Qt6Core)
for h in "$prefix"/include/lis/*.h; do
    for std in c++17 c++20; do
        echo "#include <lis/$(basename "$h")>" |
            c++ -std=$std -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" $qt -x c++ - ||
            fail "$(basename "$h") does not compile alone as $std"
    done
done
echo '#include <lis/lis.h>' | cc -std=c99 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" -x c - ||
    fail "lis.h does not compile as C"

# A demo laboratory of its own, made by the installed lis-host.
export LIS_CONFIG_DIR=$work/config LIS_DATA_DIR=$work/data QT_QPA_PLATFORM=offscreen
"$prefix/bin/lis-host" demo >/dev/null || fail "the installed lis-host cannot make the demo laboratory"

# Runs a host on L-1001 (opens and closes) and on an unknown request (error).
check_host() {
    local name=$1; shift
    local out
    out=$("${preload[@]}" "$@" L-1001 --unattended 2>&1) || fail "$name: L-1001 did not open: $out"
    grep -q '^connection: ' <<<"$out" || fail "$name: no connection string: $out"
    grep -q 'frmDownloaded opened without a display and closed' <<<"$out" || fail "$name: no window: $out"
    grep -q '^closed$' <<<"$out" || fail "$name: did not end cleanly: $out"
    if out=$("${preload[@]}" "$@" L-9999 --unattended 2>&1); then fail "$name: an unknown request succeeded: $out"; fi
    grep -q '^error -\?[0-9]*: .*L-9999' <<<"$out" || fail "$name: no error number and text: $out"
    echo "$name: ok"
}

cmake -S "$source/examples/cpp-host" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cpp" >/dev/null
check_host "C++ host (find_package)" "$work/cpp/cpp-host"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$source/examples/c-host/main.c" -o "$work/c-host" \
    $(pkg-config --cflags --libs lis-result-entry) -Wl,-rpath,"$libdir"
check_host "C host (pkg-config)" "$work/c-host"

check_host "Python host (ctypes)" python3 "$source/examples/python-host/host.py" "$libdir/liblisresultentry.so.0"
