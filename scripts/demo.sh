#!/usr/bin/env bash
# Installs what is missing, builds, and runs a whole command-line update against the
# emulated amplifier.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
"$root/build/app/TarvoFirmwareUpdaterSim" --path "$root/build/firmware/tarvo-firmware-1.2.3.37.bin"
