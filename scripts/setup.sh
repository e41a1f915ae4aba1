#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when
# all are there. libboost-dev brings Boost.Asio and Boost.Beast (header-only)
# for the HTTP listener, with libssl-dev for its TLS and zlib1g-dev for gzip
# answers; lintian and help2man check and document the package, prometheus
# brings promtool for the example alerting rules.
set -euo pipefail
packages=(build-essential cmake pkg-config libjsoncpp-dev libboost-dev libboost-date-time-dev
          googletest libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev sqlite3 ccache
          libcpp-httplib-dev libssl-dev libmosquitto-dev mosquitto mosquitto-clients
          libsystemd-dev zlib1g-dev curl chromium fonts-wqy-microhei openssl dpkg-dev fakeroot
          clang lintian help2man prometheus python3-yaml ser2net)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
