#!/usr/bin/env bash
# Installs every build, test and demo dependency that is missing.
# Idempotent: runs apt-get update only when something has to be installed.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build make pkg-config git
  zlib1g-dev liblz4-dev libzstd-dev libndpi-dev libevent-dev libpcap-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 nftables tcpdump netcat-openbsd socat ethtool iputils-ping
  procps psmisc coreutils tar curl python3
  libndpi-bin nginx-light dnsmasq-base openssh-server openssh-client openssl
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then
    SUDO="sudo -n"
  else
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: run as root (or with passwordless sudo) to install them" >&2
    exit 1
  fi
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
