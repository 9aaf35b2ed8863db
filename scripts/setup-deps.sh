#!/usr/bin/env bash
# Installs the Debian packages Morvane needs to build, test, run the demo and fuzz.
# Idempotent: packages already present are left alone and apt is not touched at all when nothing is missing.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # web service client and the local provider (pugixml also for the XML benchmark)
  gsoap libgsoap-dev libsqlite3-dev libpugixml-dev
  # TLS of the web service (the provider's certificates, the tests' throwaway CA) and a real dyndns2 client
  libssl-dev openssl ddclient libio-socket-ssl-perl sqlite3
  # ddclient over IPv6 without TLS (a configuration with ipv6=... loads it)
  libio-socket-inet6-perl
  # another dyndns2 client, for the memory figures side by side (bench/core/inadyn_pss.sh)
  inadyn
  # dyndns2 accounts and check-IP sources in the service (HTTPS through libcurl's OpenSSL build)
  libcurl4-openssl-dev
  # the provider's DNS publication, and the authoritative servers the tests and the demo start
  libldns-dev ldnsutils knot knot-dnsutils bind9 bind9-dnsutils
  # the provider's PostgreSQL store (libpq; the server the tests start) and its password hashes (Argon2id)
  libpq-dev postgresql-15 postgresql-client-15 libsodium-dev
  # the provider's account page in a real browser, its /metrics read by the Prometheus client's parser
  chromium python3-prometheus-client curl
  # NAT library, and the real router the tests run in network namespaces
  libminiupnpc-dev libnatpmp-dev miniupnpd miniupnpd-nftables nftables iproute2
  # GUI
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev fonts-wqy-microhei
  # GUI translations (lupdate, lrelease)
  qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  # the desktop end-to-end test and scripts/gui-figures.sh: a real X server, a window manager and a
  # system tray host
  xvfb openbox trayer
  # scripts/gui-figures.sh presses Return in the login dialog
  xdotool
  # package checks and the container booted with systemd (scripts/test-systemd.sh)
  lintian debootstrap systemd-container
  # the Windows build, its installer and its tests under Wine (scripts/build-windows.sh)
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine64 nsis dpkg-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "setup-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# knot and bind9 would start their system services on installation; the tests and the demo start their own
# servers on other ports, so invoke-rc.d is told not to start anything while apt runs.
POLICY=/usr/sbin/policy-rc.d
if [ -e "$POLICY" ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  trap '$SUDO rm -f "$POLICY"' EXIT
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$POLICY" >/dev/null
  $SUDO chmod 755 "$POLICY"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  $SUDO rm -f "$POLICY"
  trap - EXIT
fi
echo "setup-deps: done"
