#!/bin/sh
# Installs what building and testing need on Debian 12 and creates the network process's
# system account. Idempotent; run as root (or through sudo).
set -eu
if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format \
  libssl-dev libcurl4-openssl-dev libzstd-dev liblz4-dev \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  python3 python3-aiosmtpd openssl curl tzdata procps passwd \
  slowhttptest testssl.sh wrk \
  debhelper lintian man-db systemd >/dev/null
# promtool checks the client's metrics text (its test skips without it). The package is large for
# one tool (about 25 MB to fetch, 320 MB installed, most of it a JavaScript time-zone library) and
# brings the monitoring server too, which is not wanted running on a build machine.
apt-get install -y -qq --no-install-recommends prometheus >/dev/null
if [ -d /run/systemd/system ]; then
  systemctl disable --now prometheus >/dev/null 2>&1 || true
fi
if ! getent passwd arvenna-api >/dev/null; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin arvenna-api
fi
