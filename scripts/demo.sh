#!/usr/bin/env bash
# Builds both targets (the host build and the i686 .sys, with its package) and runs the main job:
# an application session on a simulated COM port through the Win32 comm API, with the
# driver in the kernel emulation: what the application called, what the adapter received.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset win32 >/dev/null
cmake --build --preset win32
echo "built: build/package/x86/vcomusb.sys (the package: build/package)"
build/host/tools/vcomusb/vcomusb demo
