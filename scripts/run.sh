#!/usr/bin/env bash
# The main job: installs what is missing, builds into build/ and runs OKAVU.exe the way a user would,
# in an isolated Wine prefix (build/run-wine) with a desktop, then shows what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

trap 'stop_prefix "$OKAVU_BUILD_DIR/run-wine"' EXIT
trap 'exit 130' INT TERM

ensure_packages
build_program
PYTHONDONTWRITEBYTECODE=1 without_aslr python3 scripts/show_run.py "$OKAVU_BUILD_DIR" </dev/null
