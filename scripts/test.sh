#!/usr/bin/env bash
# The tests on a fresh Debian machine: installs what is missing, builds (incrementally),
# then runs every test. Arguments go to ctest (for example -R runtime_tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
exec ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
