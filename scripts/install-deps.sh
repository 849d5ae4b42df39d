#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need. Idempotent: only what
# is missing is installed, and the package lists are refreshed only when something is missing.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libboost1.81-dev libboost-url1.81-dev
    libldns-dev libcurl4-openssl-dev libssl-dev libtomlplusplus-dev nlohmann-json3-dev
    libspdlog-dev libfmt-dev libsodium-dev libicu-dev libcpp-httplib-dev
    openssl iproute2 iputils-ping dnsutils
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
