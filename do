#!/usr/bin/env bash
# Set-up and everyday commands. Each installs what is missing, then builds.
#   ./do run [REQUESTNUM]   build, make the demo laboratory on first use, open a request
#                           (without a display: the scripted walkthrough, pictures and
#                           reports into ./walkthrough)
#   ./do test               build, then run every test through ctest
#   ./do bench              build, then run the benchmarks
#   ./do package            build for /usr and make the Debian packages in build-package/
#                           (liblisresultentry0, liblisresultentry-dev, lis-result-entry-tools),
#                           then check them with lintian
# LIS_SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# LIS_WERROR=1 turns warnings into errors (CI sets both).
set -euo pipefail
cd "$(dirname "$0")"

# postgresql and libqt6sql6-psql: the PostgreSQL suites start a throwaway server of
# their own (never the cluster the package sets up) and reach it through Qt's QPSQL
# driver. Debian keeps the server programs off PATH, in /usr/lib/postgresql/<major>/bin;
# tests/support/PgCluster.cpp finds them there through pg_config, not through an
# initdb on PATH that may belong to another version.
# libsqlite3-dev: the embedded laboratory runs its statements through SQLite itself.
# qt6-serialport-dev: lis-instrument reads analysers on serial lines as well as TCP.
# python3: the installed-package test runs the Python example host.
# lintian: the installed-package test checks the Debian packages with it when they were made.
PACKAGES=(cmake g++ make pkg-config qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libsqlite3-dev
          libgl-dev xvfb xauth poppler-utils fonts-dejavu-core postgresql libqt6sql6-psql
          qt6-serialport-dev python3 lintian)

ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

build_dir() {
    if [ "${LIS_SANITIZE:-0}" = 1 ]; then echo build-asan; else echo build; fi
}

build() {
    local dir
    dir=$(build_dir)
    local flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    [ "${LIS_SANITIZE:-0}" = 1 ] && flags+=(-DLIS_SANITIZE=ON)
    [ "${LIS_WERROR:-0}" = 1 ] && flags+=(-DLIS_WERROR=ON)
    cmake -S . -B "$dir" "${flags[@]}" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}

cmd=${1:-}
shift || true
case "$cmd" in
run)
    ensure_packages
    build
    host="$(build_dir)/bin/lis-host"
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        # Nobody could work in a window here: run the scripted walkthrough.
        echo "No display: running the walkthrough of the demo into ./walkthrough"
        exec "$host" walkthrough "${LIS_WALKTHROUGH_DIR:-walkthrough}"
    fi
    # The demo laboratory is made on first use, in the data folder the
    # settings name (by default the user's own).
    if ! "$host" query "select * from tbLabRequest where RequestNum = 'L-1001'" 2>/dev/null \
            | grep -q '^(1 row)$'; then
        "$host" demo
    fi
    exec "$host" open "${1:-L-1001}"
    ;;
bench)
    ensure_packages
    build
    exec "$(build_dir)/bin/lis-bench"
    ;;
test)
    ensure_packages
    build
    ctest --test-dir "$(build_dir)" --output-on-failure -j"$(nproc)"
    ;;
package)
    PACKAGES+=(debhelper dpkg-dev fakeroot)
    ensure_packages
    # The sources with packaging/debian at their top, in a folder of their own,
    # so dpkg-buildpackage writes the packages into build-package/. The build
    # folder inside stays between runs; the debian/ folder is made afresh, so
    # every step runs again.
    src=build-package/source
    mkdir -p "$src"
    git ls-files -z -co --exclude-standard |
        while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done |
        tar -c --null -T - | tar -x -C "$src"
    rm -rf "$src/debian"
    cp -r packaging/debian "$src/debian"
    (cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -b -uc -us -nc)
    version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
    lintian --fail-on error,warning build-package/*_"$version"_*.deb
    echo "Packages: $(ls build-package/*_"$version"_*.deb | tr '\n' ' ')"
    ;;
*)
    echo "usage: ./do run [REQUESTNUM] | ./do test | ./do bench | ./do package" >&2
    exit 2
    ;;
esac
