#!/usr/bin/env bash
# The component as a host developer meets it: installed into a fresh prefix,
# its public headers compiled alone, only the listed symbols exported, the
# three example hosts (CMake, C with pkg-config, Python with ctypes) built
# against that prefix only and run on a demo laboratory, offscreen and
# unattended; hosts that misuse the C interface; lis-host started by name
# from elsewhere; and the Debian packages with lintian when they were built.
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
[ -f "$prefix/share/man/man1/lis-host.1" ] && [ -f "$prefix/share/man/man1/lis-instrument.1" ] ||
    fail "manual pages not installed"
if readelf -d "$prefix/bin/lis-host" "$lib" | grep -q 'NEEDED.*Qt6Test'; then
    fail "a shipped program links Qt's test library"
fi

# Exactly the public interface, whatever the build type inlined.
exported=$(nm -D --defined-only --format=posix "$lib" | awk '{print $1}' | LC_ALL=C sort)
if ! diff <(LC_ALL=C sort "$source/library/lisresultentry.exports") <(echo "$exported") >"$work/exports.diff"; then
    fail "the library's exports differ from library/lisresultentry.exports (< listed, > exported):
$(cat "$work/exports.diff")"
fi
grep -q '^Requires.private: Qt6Core$' "$libdir/pkgconfig/lis-result-entry.pc" ||
    fail "lis-result-entry.pc does not keep Qt6Core private"
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

# Hosts that misuse the C interface, without a display: NULLs, the last
# error, a second thread, show before lis_init and after lis_shutdown, an
# exit without lis_shutdown (from C and from Python), a QCoreApplication.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$source/tests/install/api_checks.c" -o "$work/api-checks" \
    $(pkg-config --cflags --libs lis-result-entry) -pthread -Wl,-rpath,"$libdir"
out=$("${nodisplay[@]}" "${preload[@]}" "$work/api-checks" 2>&1) || fail "C interface checks: $out"
echo 'int lis_init(int); int main(void) { return lis_init(1); }' |
    cc -x c - -o "$work/one-line" -L"$libdir" -llisresultentry -Wl,-rpath,"$libdir"
out=$("${nodisplay[@]}" "${preload[@]}" "$work/one-line" 2>&1) || fail "the one-line C host exited $?: $out"
out=$("${nodisplay[@]}" "${preload[@]}" python3 -c 'import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
sys.exit(lib.lis_init(1))' "$libdir/liblisresultentry.so.0" 2>&1) || fail "a Python host without lis_shutdown exited $?: $out"
# shellcheck disable=SC2046
c++ -std=c++17 -fPIC "$source/tests/install/qcore_host.cpp" -o "$work/qcore-host" \
    $(pkg-config --cflags --libs lis-result-entry Qt6Core) -Wl,-rpath,"$libdir"
out=$("${preload[@]}" "$work/qcore-host" 2>&1) || fail "a host with a QCoreApplication: $out"
echo "C interface misuse: ok"

# lis-host started by name through PATH, from another folder, through a
# symlink: it finds its reports from its real location and prints them.
mkdir -p "$work/elsewhere" "$work/links"
ln -s "$prefix/bin/lis-host" "$work/links/lis-host"
out=$(cd "$work/elsewhere" && PATH="$work/links:$PATH" "${preload[@]}" lis-host walkthrough walk 2>&1) ||
    fail "lis-host walkthrough started by name: $(grep -v '^  \(ok\|picture\)' <<<"$out")"
echo "lis-host by name through PATH: ok"

# The Debian packages, when ./do package made them for this version.
packages=$source/build-package
version=$(sed -n '1s/.*(\(.*\)).*/\1/p' "$source/packaging/debian/changelog")
debs=()
for p in liblisresultentry0 liblisresultentry-dev lis-result-entry-tools; do
    [ -f "$packages/${p}_${version}_$(dpkg --print-architecture).deb" ] &&
        debs+=("$packages/${p}_${version}_$(dpkg --print-architecture).deb")
done
if [ ${#debs[@]} -ne 3 ]; then
    echo "Debian packages: skipped (./do package makes them)"
    exit 0
fi
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
contents "${debs[0]}" | grep -q 'liblisresultentry\.so\.0\.' || fail "the library is not in ${debs[0]}"
contents "${debs[0]}" | grep -q 'reports/LabPrint_WithCutOff\.RPT' || fail "the reports are not in ${debs[0]}"
contents "${debs[1]}" | grep -q 'include/lis/lis\.h' || fail "the headers are not in ${debs[1]}"
contents "${debs[1]}" | grep -q 'liblisresultentry\.so$' || fail "the link is not in ${debs[1]}"
contents "${debs[2]}" | grep -q '/usr/bin/lis-host$' || fail "lis-host is not in ${debs[2]}"
contents "${debs[2]}" | grep -q 'man1/lis-instrument\.1\.gz$' || fail "no manual pages in ${debs[2]}"
if command -v lintian >/dev/null; then
    out=$(lintian --fail-on error,warning "${debs[@]}" 2>&1) || fail "lintian: $out"
    echo "lintian: ok"
else
    echo "lintian: skipped (not installed)"
fi
