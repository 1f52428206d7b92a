#!/usr/bin/env bash
# Every test: installs what is missing (the workflow linter into build/npm), builds into build/ and runs
# the whole ctest suite under Wine (unit tests in parallel, then the end-to-end tests one at a time).
# Ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# ctest's own clean-up test stops the prefix; this also covers an interrupted run.
trap 'stop_prefix "$OKAVU_BUILD_DIR/tests/wine-run"' EXIT
trap 'exit 130' INT TERM

ensure_packages
ensure_workflow_linter
build_program
say "Running the test suite"
without_aslr ctest --test-dir "$OKAVU_BUILD_DIR" --output-on-failure --no-tests=error --parallel "$(nproc)" </dev/null
