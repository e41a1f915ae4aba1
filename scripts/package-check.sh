#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it: the file list
# (every doc and example of the source tree shipped), the control fields, one
# version in the package, the changelog and every program's --version, the
# links of the installed documentation, the maintainer scripts, the unit, and
# lintian when it is installed (no error, no warning).
# Usage: scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
cd "$build"
rm -f ravo3_*.deb
cpack -G DEB >/dev/null
deb=$(ls ravo3_*_*.deb)
fail=0
complain() {
  echo "package-check: $*" >&2
  fail=1
}

doc=./usr/share/doc/ravo3
expected=$(
  {
    printf '%s\n' ./usr/bin/ravo3-monitor ./usr/bin/ravo3-replay ./usr/bin/ravo3-sim ./usr/bin/ravo3c ./usr/bin/ravo3d \
      ./usr/lib/ravo3/libravo3host.so ./usr/lib/ravo3/ravo3.so \
      ./usr/lib/systemd/system/ravo3d.service ./usr/share/ravo3/site.json \
      ./usr/share/man/man1/ravo3-monitor.1.gz ./usr/share/man/man1/ravo3-replay.1.gz \
      ./usr/share/man/man1/ravo3-sim.1.gz \
      ./usr/share/man/man1/ravo3c.1.gz ./usr/share/man/man8/ravo3d.8.gz \
      $doc/README.md $doc/changelog.gz $doc/copyright
    (cd "$src" && find docs examples -type f \( -name '*.md' -o -name '*.png' -o -path 'examples/*' \)) |
      sed "s|^|$doc/|"
  } | sort
)
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
if [ "$actual" != "$expected" ]; then
  complain "file list differs (< expected, > packaged):"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi

control=$(dpkg-deb -f "$deb")
for dep in adduser libcpp-httplib0.11 libjsoncpp25 libsqlite3-0 libsystemd0; do
  grep -q "^Depends:.*$dep" <<<"$control" || complain "Depends lacks $dep"
done

# One version: CMake's project version, the package, the changelog's top
# entry and every program's --version.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' CMakeCache.txt)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
  complain "package version $(dpkg-deb -f "$deb" Version) is not the project's $version"
changelog_version=$(dpkg-parsechangelog -l "$src/packaging/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
  complain "packaging/changelog's top entry is $changelog_version, the project is $version"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
dpkg-deb -e "$deb" "$tmp/DEBIAN"
for p in ravo3d ravo3c ravo3-monitor ravo3-sim ravo3-replay; do
  got=$("$tmp/usr/bin/$p" --version 2>&1 | head -n1) || true
  [ "$got" = "$p $version" ] || complain "$p --version says \"$got\", not \"$p $version\""
done

# Every relative link of the installed Markdown reaches a file of the package.
while IFS= read -r md; do
  while IFS= read -r target; do
    target=${target%%#*}
    [ -z "$target" ] && continue
    [ -e "$(dirname "$md")/$target" ] || complain "${md#"$tmp"}: link to $target leads nowhere"
  done < <(grep -o '](\([^)]*\))' "$md" | sed 's/^](\(.*\))$/\1/' | grep -v '^[a-z]*:' || true)
done < <(find "$tmp/usr/share/doc/ravo3" -name '*.md')

grep -q '"driver": "/usr/lib/ravo3/ravo3.so"' "$tmp/usr/share/ravo3/site.json" ||
  complain "the example site file does not point at the installed driver"
grep -q '^ExecStart=/usr/bin/ravo3d ' "$tmp/usr/lib/systemd/system/ravo3d.service" ||
  complain "the unit does not start /usr/bin/ravo3d"
for s in postinst prerm postrm; do
  if [ -x "$tmp/DEBIAN/$s" ]; then
    sh -n "$tmp/DEBIAN/$s" || complain "$s: syntax"
  else
    complain "$s missing"
  fi
done
if command -v systemd-analyze >/dev/null; then
  # Only the unit's own syntax: the programs are not installed here.
  if systemd-analyze verify "$tmp/usr/lib/systemd/system/ravo3d.service" 2>&1 |
    grep -v 'is not executable\|ConditionPathExists\|man ravo3d' | grep .; then
    fail=1
  fi
fi

if command -v lintian >/dev/null; then
  # Every tag of level warning or above fails; what we accept is overridden,
  # with the reason, in packaging/lintian-overrides.
  if ! lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$tmp/lintian.txt" 2>&1; then
    complain "lintian:"
    cat "$tmp/lintian.txt" >&2
  fi
else
  echo "package-check: lintian is not installed; its checks skipped (scripts/setup.sh installs it)"
fi

[ $fail -eq 0 ] && echo "package-check: $deb ok ($(du -h "$deb" | cut -f1))"
exit $fail
