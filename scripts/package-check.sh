#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks its file list,
# control fields and maintainer scripts.  Usage: scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
cd "$build"
rm -f ravo3_*.deb
cpack -G DEB >/dev/null
deb=$(ls ravo3_*_*.deb)
expected='./usr/bin/ravo3-monitor
./usr/bin/ravo3-sim
./usr/bin/ravo3c
./usr/bin/ravo3d
./usr/lib/ravo3/libravo3host.so
./usr/lib/ravo3/ravo3.so
./usr/lib/systemd/system/ravo3d.service
./usr/share/doc/ravo3/README.md
./usr/share/doc/ravo3/host.md
./usr/share/doc/ravo3/service.md
./usr/share/doc/ravo3/simulator.md
./usr/share/ravo3/site.json'
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
fail=0
if [ "$actual" != "$expected" ]; then
  echo "package-check: file list differs:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail=1
fi
control=$(dpkg-deb -f "$deb")
for dep in adduser libcpp-httplib0.11 libjsoncpp25 libsqlite3-0 libsystemd0; do
  if ! grep -q "^Depends:.*$dep" <<<"$control"; then
    echo "package-check: Depends lacks $dep" >&2
    fail=1
  fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
dpkg-deb -e "$deb" "$tmp/DEBIAN"
grep -q '"driver": "/usr/lib/ravo3/ravo3.so"' "$tmp/usr/share/ravo3/site.json" ||
  { echo "package-check: the example site file does not point at the installed driver" >&2; fail=1; }
grep -q '^ExecStart=/usr/bin/ravo3d ' "$tmp/usr/lib/systemd/system/ravo3d.service" ||
  { echo "package-check: the unit does not start /usr/bin/ravo3d" >&2; fail=1; }
for s in postinst prerm postrm; do
  [ -x "$tmp/DEBIAN/$s" ] || { echo "package-check: $s missing" >&2; fail=1; }
done
if command -v systemd-analyze >/dev/null; then
  # Only the unit's own syntax: the programs are not installed here.
  if systemd-analyze verify "$tmp/usr/lib/systemd/system/ravo3d.service" 2>&1 |
     grep -v 'is not executable\|ConditionPathExists' | grep .; then
    fail=1
  fi
fi
[ $fail -eq 0 ] && echo "package-check: $deb ok ($(du -h "$deb" | cut -f1))"
exit $fail
