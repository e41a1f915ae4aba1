#!/usr/bin/env bash
# Installs, upgrades, removes and purges the package in a scratch Debian root
# (debootstrap, then chroot) and checks each step against Debian policy: the
# user, the unit's enablement, what is started, restarted and stopped, what a
# removal keeps and a purge removes. A chroot runs no systemd, so the helpers
# are shown a /run/systemd/system and a systemctl that records its calls;
# deb-systemd-helper and deb-systemd-invoke themselves are Debian's.
#
# Usage: scripts/package-try.sh [BUILD_DIR]   (root; downloads Debian packages)
# The root is kept in $RAVO3_SCRATCH (default /var/tmp/ravo3-try/root) and
# reused; only the package's own files come and go.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
root=${RAVO3_SCRATCH:-/var/tmp/ravo3-try/root}
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=${RAVO3_MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" -eq 0 ] || { echo "package-try: needs root (chroot)" >&2; exit 2; }
ls "$build"/ravo3_*.deb >/dev/null 2>&1 || "$src/scripts/package-check.sh" "$build" >/dev/null
deb=$(ls "$build"/ravo3_*.deb | head -n1)
if [ ! -x "$root/usr/bin/apt-get" ]; then
  debootstrap --variant=minbase "$suite" "$root" "$mirror" >/dev/null
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
# The loader finds $ORIGIN (the programs' run path) through /proc.
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
in_root dpkg --purge ravo3 >/dev/null 2>&1 || true

# The upgrade: the same package one version later.
work=$(mktemp -d)
trap 'umount "$root/proc" 2>/dev/null; rm -rf "$work"; rm -f "$root/usr/local/sbin/systemctl" "$root/usr/sbin/policy-rc.d"; rm -rf "$root/run/systemd/system"' EXIT
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $version+try1/" "$work/next/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/next" "$work/next.deb" >/dev/null
cp "$deb" "$root/tmp/ravo3.deb"
cp "$work/next.deb" "$root/tmp/ravo3-next.deb"

# systemd as the helpers see it; the real systemctl (if any) stays untouched.
mkdir -p "$root/run/systemd/system" "$root/usr/local/sbin"
cat >"$root/usr/local/sbin/systemctl" <<'EOF'
#!/bin/sh
echo "$*" >>/var/log/systemctl.calls
case "$*" in
  *is-enabled*)
    if [ -L /etc/systemd/system/multi-user.target.wants/ravo3d.service ]; then
      echo enabled
    else
      echo disabled
      exit 1
    fi ;;
esac
exit 0
EOF
chmod 755 "$root/usr/local/sbin/systemctl"
in_root sh -c 'rm -f /usr/sbin/policy-rc.d /var/log/systemctl.calls'
in_root apt-get update -qq
# Its dependencies first, so that each step below is one dpkg call.
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /tmp/ravo3.deb' >/dev/null 2>&1
in_root dpkg --purge ravo3 >/dev/null 2>&1

fail=0
check() {  # description, command...
  local what=$1
  shift
  if in_root sh -c "$*"; then
    echo "  ok    $what"
  else
    echo "  FAIL  $what"
    fail=1
  fi
}
step() {  # name, dpkg arguments...
  local name=$1
  shift
  echo "$name: dpkg $*"
  in_root sh -c "rm -f /var/log/systemctl.calls; dpkg $* >/dev/null"
  in_root sh -c 'mv /var/log/systemctl.calls /var/log/systemctl.last 2>/dev/null || : >/var/log/systemctl.last'
  echo "  systemctl was asked: $(in_root cat /var/log/systemctl.last | tr '\n' ';')"
}
called() { echo "grep -Eq '(^| )$1( .*)? ravo3d.service' /var/log/systemctl.last"; }
wants=/etc/systemd/system/multi-user.target.wants/ravo3d.service

# A site with policy-rc.d saying no (a container image): installed and
# enabled, not started.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
step "install under a policy-rc.d that says no" -i /tmp/ravo3.deb
check "not started when policy-rc.d forbids it" "! $(called start)"
check "enabled all the same" "test -L $wants"
in_root dpkg --purge ravo3 >/dev/null 2>&1
rm -f "$root/usr/sbin/policy-rc.d"

step install -i /tmp/ravo3.deb
check "user ravo3 exists, in dialout" "id -nG ravo3 | grep -qw dialout"
check "unit enabled (multi-user.target.wants)" "test -L $wants"
check "daemon started" "$(called start)"
check "programs run" "ravo3d --version | grep -qx 'ravo3d $version'"
check "the installed site file passes --check" "ravo3-monitor --check --config /usr/share/ravo3/site.json >/dev/null"
check "manual page installed" "test -f /usr/share/man/man8/ravo3d.8.gz"

# The administrator's files and the daemon's state.
in_root sh -c 'mkdir -p /etc/ravo3 /var/lib/ravo3 && cp /usr/share/ravo3/site.json /etc/ravo3/ && touch /var/lib/ravo3/history.db'

step upgrade -i /tmp/ravo3-next.deb
check "daemon restarted, not stopped" "$(called restart) && ! $(called stop)"
check "still enabled after the upgrade" "test -L $wants"
check "configuration and state kept" "test -f /etc/ravo3/site.json && test -f /var/lib/ravo3/history.db"

# The administrator disables it (systemctl disable removes the link); an
# upgrade leaves it so.
rm -f "$root$wants"
step "upgrade of a disabled unit" -i /tmp/ravo3-next.deb
check "stays disabled" "! test -e $wants"

step remove --remove ravo3
check "daemon stopped" "$(called stop)"
check "programs gone" "! test -e /usr/bin/ravo3d"
check "configuration, state and user kept" "test -f /etc/ravo3/site.json && test -f /var/lib/ravo3/history.db && id ravo3 >/dev/null"

step purge --purge ravo3
check "configuration and state gone" "! test -e /etc/ravo3 && ! test -e /var/lib/ravo3"
check "user and group gone" "! getent passwd ravo3 >/dev/null && ! getent group ravo3 >/dev/null"
check "enablement gone" "! test -e $wants && ! ls /var/lib/systemd/deb-systemd-helper-enabled/ 2>/dev/null | grep -q ravo3"
check "nothing of the package left" "! dpkg -s ravo3 >/dev/null 2>&1"
exit $fail
