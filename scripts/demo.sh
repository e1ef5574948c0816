#!/usr/bin/env bash
# Builds the programs and shows the command-line tool: its usage, version and stage list.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default > /dev/null
cmake --build --preset default -j "$(nproc)" --target vmcli
cli=build/default/cli/vmcli
"$cli"
"$cli" /ver
"$cli" /type
