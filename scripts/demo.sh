#!/usr/bin/env bash
# The main job on a fresh Debian machine: installs what is missing, builds (incrementally),
# then runs the demo. Arguments go to tarv_demo (for example --engine or --folder DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
exec build/tools/demo/tarv_demo "$@"
