#!/usr/bin/env bash
# Installs what is missing, builds what the demo runs (the simulator build of the program and
# the image it flashes; not the tests or benchmarks), and runs a whole command-line update
# against the emulated amplifier.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" TarvoFirmwareUpdaterSim tarvo_firmware_image
"$root/build/app/TarvoFirmwareUpdaterSim" --path "$root/build/firmware/tarvo-firmware-1.2.3.37.bin"
