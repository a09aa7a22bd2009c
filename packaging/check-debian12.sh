#!/usr/bin/env bash
# Release check, not for CI (it downloads a Debian base): the packages
# ./do package made, installed with apt into a clean Debian 12 root made with
# debootstrap, then, as an ordinary user started by name, `lis-host demo`,
# `lis-host walkthrough ~/walk` and a one-line C host that ends without
# lis_shutdown. Runs as root (debootstrap, chroot); everything it makes is
# in one new folder under TMPDIR, removed at the end unless KEEP=1.
# BASE=FILE.tgz keeps the downloaded base there for the next run (made by
# debootstrap --make-tarball when FILE.tgz does not exist yet).
#   packaging/check-debian12.sh [MIRROR]
set -euo pipefail
cd "$(dirname "$0")/.."
mirror=${1:-http://deb.debian.org/debian}
version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
arch=$(dpkg --print-architecture)
debs=()
for p in liblisresultentry0 lis-result-entry-tools liblisresultentry-dev; do
    f=build-package/${p}_${version}_${arch}.deb
    [ -f "$f" ] || { echo "No $f: run ./do package first" >&2; exit 2; }
    debs+=("$f")
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lis-debian12.XXXXXX")
root=$work/root
cleanup() {
    for m in proc dev/pts dev; do
        mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"
    done
    if [ "${KEEP:-0}" = 1 ]; then
        echo "Kept $work"
    else
        case "$work" in */lis-debian12.??????) rm -rf --one-file-system -- "$work" ;; esac
    fi
}
trap cleanup EXIT

echo "== debootstrap bookworm into $root"
base=()
if [ -n "${BASE:-}" ]; then
    if [ ! -f "$BASE" ]; then
        debootstrap --variant=minbase --make-tarball="$BASE" bookworm "$work/download" "$mirror" \
            >"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; exit 1; }
    fi
    base=(--unpack-tarball="$(realpath "$BASE")")
fi
debootstrap --variant=minbase "${base[@]}" bookworm "$root" "$mirror" >>"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; exit 1; }
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/tmp/debs"
cp "${debs[0]}" "${debs[1]}" "$root/tmp/debs/"

echo "== apt install the library and the tools"
chroot "$root" apt-get update -qq
chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    "./tmp/debs/$(basename "${debs[0]}")" "./tmp/debs/$(basename "${debs[1]}")"

# The one-line C host, built here against the packages' own files.
mkdir -p "$work/dev"
dpkg-deb -x "${debs[0]}" "$work/dev"
dpkg-deb -x "${debs[2]}" "$work/dev"
echo '#include <lis/lis.h>
int main(void) { return lis_init(LIS_UNATTENDED); }' |
    cc -x c - -I"$work/dev/usr/include" -L"$work/dev/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)" \
        -llisresultentry -o "$root/usr/local/bin/one-line-host"

echo "== as a user, by name: lis-host demo, lis-host walkthrough ~/walk, the C host"
chroot "$root" useradd -m lab
status=0
chroot --userspec=lab:lab "$root" env -i HOME=/home/lab PATH=/usr/local/bin:/usr/bin:/bin \
    bash -c 'cd ~ && lis-host demo && lis-host walkthrough ~/walk && one-line-host && echo "C host: exit 0"' ||
    status=$?
[ "$status" = 0 ] && echo "== passed" || echo "== FAILED ($status)"
exit "$status"
