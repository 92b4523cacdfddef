#!/usr/bin/env bash
# Installs every Debian 12 package that the build, the tests, the tools and
# the benchmarks need. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcurl4-openssl-dev libssl-dev nettle-dev libicu-dev nlohmann-json3-dev
  libsdbus-c++-dev libsystemd-dev dbus-daemon dbus-bin systemd shared-mime-info
  libspdlog-dev libfmt-dev libcli11-dev libcpp-httplib-dev
  curl ca-certificates
  scdoc dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
