#!/usr/bin/env bash
# Builds both targets (the host build and the i686 .sys, with its package) and runs the main job:
# loads the driver into the kernel emulation and prints what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset win32 >/dev/null
cmake --build --preset win32
echo "built: build/package/x86/vcomusb.sys (the package: build/package)"
build/host/tools/vcom-demo
