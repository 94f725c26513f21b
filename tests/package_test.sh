#!/usr/bin/env bash
# The Debian packages as a system administrator meets them, in a clean Debian 12 root file system:
# built by scripts/package, checked by lintian, installed with apt, the programs run by an ordinary
# user, upgraded to a rebuild with a higher version, removed and purged.
# Usage: tests/package_test.sh [CACHE_DIR]   (default build/package-test; the root file system
# is kept there as a tarball for a week, so that later runs need not fetch it again)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=$(realpath -m "${1:-$top/build/package-test}")
mkdir -p "$cache"
started=$SECONDS
step() { echo "== package test: $* ($((SECONDS - started)) s)"; }

base="$cache/bookworm-minbase.tar.zst"
if [ ! -f "$base" ] || [ -n "$(find "$base" -mtime +7)" ]; then
  step "making the root file system"
  # mmdebstrap takes the format from the name's ending.
  rm -rf "$base" "$cache/new.tar.zst"
  mmdebstrap --quiet --variant=minbase --mode=root bookworm "$cache/new.tar.zst"
  mv "$cache/new.tar.zst" "$base"
fi

work=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A test build has an address of its own: the default, the builder's, is rarely one lintian accepts.
export VAK_MAINTAINER="Edit Lock test build <build@editlock.test>"
# The debug-symbol packages are not tried here: none of the checks below reads them.
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} noautodbgsym"
step "building the packages and their upgrade"
version=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' "$top/debian/changelog")
"$top/scripts/package" --upgrade "${version%-*}-$((${version##*-} + 1))" "$work/v1" >/dev/null
mv "$work/v1/upgrade" "$work/v2"

step "lintian"
lintian --fail-on error,warning "$work"/v1/*.deb

# The unit as systemd reads it, pointed at the unpacked daemon; its sandbox rated at most 2.0 of 10
# (20 of 100) exposure.
step "systemd-analyze"
dpkg-deb -x "$work"/v1/vakbd_*.deb "$work/unpacked"
sed "s|^ExecStart=vakbd |ExecStart=$work/unpacked/usr/sbin/vakbd |" \
  "$work/unpacked/lib/systemd/system/vakbd.service" >"$work/vakbd.service"
systemd-analyze verify --man=no "$work/vakbd.service"
systemd-analyze security --offline=yes --threshold=20 "$work/vakbd.service" >/dev/null

# An application of the system's, built against the development package as its users would.
step "building an application against libvak-dev"
dpkg-deb -x "$work"/v1/libvak-dev_*.deb "$work/dev"
for lib in "$work"/v1/lib{vak,orv}6_*.deb; do dpkg-deb -x "$lib" "$work/dev"; done
export PKG_CONFIG_LIBDIR
PKG_CONFIG_LIBDIR=$(dirname "$(find "$work/dev" -name vak.pc)")
cc -Wall -Wextra -Werror -o "$work/package-compat" "$top/tests/package_compat.c" \
  $(pkg-config --cflags --libs vak)

step "installing, running, upgrading, removing in a clean root"
root="$work/root"
mkdir "$root"
tar -C "$root" --zstd -xf "$base"
mkdir "$root/debs"
cp -r "$work/v1" "$work/v2" "$root/debs/"
cp "$top/tests/package_inside.sh" "$root/inside.sh"
cp "$work/package-compat" "$root/usr/local/bin/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# A private port for the daemons started inside, which share this host's network.
port=$((21000 + RANDOM % 9000))
# Its own process namespace, so that every process started inside ends with it, and its own
# /proc, so that the maintainer scripts see the processes started inside.
unshare --mount --pid --fork --mount-proc="$root/proc" \
  sh -c 'mount --rbind /dev "$1/dev" && exec chroot "$1" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    VAK_PORTNUM="$2" /bin/bash /inside.sh' sh "$root" "$port"
step "passed"
