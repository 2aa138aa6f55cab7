#!/usr/bin/env bash
# The whole road from rendered boards to the committed model file:
#   tools/landmark_training/make_model.sh [BUILD_DIR] [WORK_DIR] [BOARDS] [MINUTES] [SEED] [RENDERERS] [WORKERS]
# renders BOARDS training boards (seeds 1..BOARDS, in RENDERERS processes) into WORK_DIR/boards,
# trains for MINUTES of wall-clock time with SEED while the boards are still being written,
# exports the network as ONNX and seals it as models/tarv_board.tarvm. Everything runs niced;
# the library's build never runs this (CI loads the committed file).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build}"
work="${2:-$root/build/landmark_training}"
boards="${3:-6000}"
minutes="${4:-45}"
seed="${5:-25}"
renderers="${6:-4}"
workers="${7:-3}"

"$here/setup.sh"
cmake --build "$build" --target landmark_render landmark_seal
mkdir -p "$work/boards" "$work/run"
per=$(( (boards + renderers - 1) / renderers ))
pids=()
for ((k = 0; k < renderers; ++k)); do
  first=$(( 1 + k * per ))
  count=$(( first + per - 1 > boards ? boards - first + 1 : per ))
  nice "$build/tools/landmark_training/landmark_render" "$work/boards" "$first" "$count" &
  pids+=($!)
done
# Training starts on the first boards and takes up new ones as they are written.
sleep 120
OMP_WAIT_POLICY=PASSIVE nice /usr/bin/python3 "$here/train.py" --data "$work/boards" --out "$work/run" \
  --minutes "$minutes" --seed "$seed" --workers "$workers"
for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
/usr/bin/python3 "$here/export.py" "$work/run/last.pt" "$work/run/tarv_board.onnx"
# The nonce only has to differ between models sealed under the same key.
nonce=$(printf '%024x' "$seed")
"$build/tools/landmark_training/landmark_seal" "$work/run/tarv_board.onnx" "$root/models/tarv_board.tarvm" "$nonce"
