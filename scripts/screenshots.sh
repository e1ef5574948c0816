#!/usr/bin/env bash
# Renders the desktop program's windows to docs/images/*.png from the real windows, built as the
# program builds them and connected to the in-process virtual controller. No display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default > /dev/null
cmake --build --preset default -j "$(nproc)" --target gui_screenshots
QT_QPA_PLATFORM=offscreen build/default/tests/gui/gui_screenshots docs/images
