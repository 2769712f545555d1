#!/usr/bin/env bash
# Installs what building, testing and benchmarking need on Debian 12. Idempotent:
# packages already present are left alone, and apt is not touched when nothing is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    clang libclang-rt-14-dev
    juce-modules-source juce-tools
    libasound2-dev libfreetype-dev libpng-dev libjpeg-dev
    libx11-dev libxext-dev libxinerama-dev libxrandr-dev libxcursor-dev libxrender-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth xdotool imagemagick x11-utils openbox wmctrl
    fonts-roboto-unhinted
)

# The commands that the scripts, the build and the tests run, each from a package above;
# scripts/check-install-list.sh checks both lists against what the build uses.
commands=(
    cmake ctest ninja pkg-config clang clang++
    xvfb-run xauth xdpyinfo xdotool import openbox wmctrl setarch
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: everything is installed"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
