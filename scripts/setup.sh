#!/usr/bin/env bash
# Installs the Debian 12 packages Quarzelle needs to build, test and run. Idempotent: installs
# only what is missing, so it is cheap to run again.
set -euo pipefail

packages=(
    build-essential g++ cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev
    xvfb xauth
    clang libclang-rt-14-dev clang-format
    libjpeg62-turbo-dev
    libgdcm-dev libnifti2-dev libinsighttoolkit5-dev zlib1g-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup.sh: run as root to install packages" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
