#!/bin/bash
# The part of tests/package_test.sh that runs inside the clean root, as its root user, with the
# packages in /debs/v1 and their rebuild with a higher version in /debs/v2.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
fail() { echo "package test: $*" >&2; exit 1; }
apt_quiet() { apt-get -y -q "$@" >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; fail "apt-get $*"; }; }

# The process ids of the daemons running the packaged program, and of any process whose program
# file has been deleted or replaced since it started.
vakbd_pids() {
  local exe target
  for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    case $target in /usr/sbin/vakbd*) echo "${exe//[!0-9]/}" ;; esac
  done
}
deleted_programs() {
  local exe target
  for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    case $target in *" (deleted)") echo "${exe//[!0-9]/} $target" ;; esac
  done
}

packages="editlock libvak-dev libvak6 liborv6 vakbd vakcompatd"
apt_quiet update
apt_quiet install /debs/v1/*.deb

# The layout: nothing below /usr/tools, libraries in the multiarch folder and known to the loader
# (the trigger ran ldconfig), manual pages compressed, the service enabled where the helper is.
test ! -e /usr/tools || fail "/usr/tools exists"
dpkg -L libvak6 | grep -E '^/usr/lib/[a-z0-9_]+-linux-[a-z0-9_]+/libvak\.so\.6$' >/dev/null ||
  fail "libvak is not in the multiarch folder"
ldconfig -p | grep 'libvak\.so\.6 ' >/dev/null || fail "the loader does not know libvak"
test -f /usr/share/man/man8/vakbd.8.gz || fail "vakbd.8 is not compressed"
test "$(readlink /usr/libexec/editlock/bin/vakbd)" = ../../../sbin/vakbd || fail "no tools link"
if [ -x /usr/bin/deb-systemd-helper ]; then
  test -L /etc/systemd/system/multi-user.target.wants/vakbd.service || fail "service not enabled"
fi

# An ordinary user whose PATH has no sbin: the tool and the daemon it starts are found through the
# packaged layout alone.
useradd --create-home alice
as_alice() {
  setpriv --reuid=alice --regid=alice --init-groups \
    env -i HOME=/home/alice PATH=/usr/local/bin:/usr/bin:/bin VAK_PORTNUM="$VAK_PORTNUM" "$@"
}
run_programs() {
  as_alice sh -c 'mkdir -p ~/shared && echo draft >~/shared/report.txt'
  as_alice editlock hold --reason "package test" /home/alice/shared/report.txt -- sleep 8 &
  local holder=$! i
  for i in $(seq 50); do
    [ -e /home/alice/shared/report.txt.orvlck ] && break
    sleep 0.1
  done
  as_alice vakAdminTool -ale /home/alice/shared >/tmp/ale.out 2>&1 || { cat /tmp/ale.out; fail "vakAdminTool -ale"; }
  grep -q "SUMMARY: Only one Edit Lock was found" /tmp/ale.out || { cat /tmp/ale.out; fail "no lock listed"; }
  as_alice editlock list /home/alice/shared | grep report.txt >/dev/null || fail "editlock list shows no lock"
  wait "$holder" || fail "editlock hold"
  as_alice package-compat /home/alice/shared/report.txt >/dev/null || fail "no compatibility lock"
  local pids
  pids=$(vakbd_pids)
  [ -n "$pids" ] || fail "the library started no vakbd"
  for i in $pids; do
    tr '\0' ' ' <"/proc/$i/cmdline" | grep '^/usr/libexec/editlock/bin/vakbd ' >/dev/null ||
      fail "vakbd $i was not started from the packaged tools directory"
  done
}
run_programs

# The upgrade stops the daemons running the program that it replaces; the next program starts the
# new one.
apt_quiet install /debs/v2/*.deb
for p in $packages; do
  test "$(dpkg-query -W -f '${Version}' "$p")" = "$(dpkg-deb -f /debs/v2/"$p"_*.deb Version)" ||
    fail "$p was not upgraded"
done
test -z "$(vakbd_pids)" || fail "a vakbd outlived the upgrade"
test -z "$(deleted_programs)" || fail "running a replaced program: $(deleted_programs)"
rm /home/alice/shared/report.txt.orvlck 2>/dev/null || true
run_programs

# Removal stops the daemons; purge leaves nothing of the packages behind.
apt_quiet remove $packages
test -z "$(vakbd_pids)" || fail "a vakbd outlived the removal"
test -z "$(deleted_programs)" || fail "running a removed program: $(deleted_programs)"
# Those with maintainer scripts or conffiles stay known to dpkg until purged.
dpkg --purge $(dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' $packages 2>/dev/null |
  awk '$1 == "rc" { print $2 }') >/tmp/purge.log 2>&1 || { cat /tmp/purge.log; fail "purge"; }
for p in $packages; do
  ! dpkg-query -W -f '${Status}\n' "$p" 2>/dev/null | grep -qv "not-installed" || fail "$p left"
done
test ! -e /usr/libexec/editlock || fail "/usr/libexec/editlock left"
test ! -e /etc/default/editlock || fail "/etc/default/editlock left"
test ! -e /etc/systemd/system/multi-user.target.wants/vakbd.service || fail "enablement left"
echo "package test: inside the root, all checks passed"
