#!/usr/bin/env bash
# Fine-tunes a committed landmark network on boards rendered with what real rigs show
# (landmark_render --rig-variety) beside the usual mix, and seals the result:
#   tools/landmark_training/finetune_rig.sh BASE.tarvm OUT.tarvm [BUILD_DIR] [WORK_DIR] [MINUTES] [SEED]
# Three renderers write the boards while three single-threaded workers train (all niced):
#   VAR    seeds 200,001.. in chunks of 20 and 250,001 to 250,400 (rig variety, 10 to 60 degrees
#          above the board), then 270,001.. (10 to 85 degrees: photographs are often taken face on)
#   VARLOW seeds 300,001.. in chunks of 10 (rig variety, 10 to 25 degrees), alternating with VAR
#   MIX    seeds 60,001.. in chunks of 20 (the usual mix)
# The checkpoints are copied as they are written (WORK_DIR/run/ckpt_HHMM.pt), so that one can
# be chosen on boards and photographs the training never saw before it is sealed.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
base="$1"
out="$2"
build="${3:-$root/build}"
work="${4:-$root/build/landmark_rig}"
minutes="${5:-50}"
seed="${6:-38}"
render="$build/tools/landmark_training/landmark_render"

. "$here/finetune_common.sh"
prepare_finetune

pids=()
( for i in $(seq 0 200); do
    nice "$render" "$work/VAR" $((200001 + i * 20)) 20 --rig-variety
    nice "$render" "$work/VARLOW" $((300001 + i * 10)) 10 --rig-variety --above 10 25
  done ) &
pids+=($!)
( for i in $(seq 0 200); do nice "$render" "$work/MIX" $((60001 + i * 20)) 20; done ) &
pids+=($!)
( nice "$render" "$work/VAR" 250001 400 --rig-variety
  for i in $(seq 0 200); do nice "$render" "$work/VAR" $((270001 + i * 20)) 20 --rig-variety --above 10 85; done ) &
pids+=($!)
# The norms' statistics are measured on the first 64 boards of the usual mix.
while [ "$(ls "$work/MIX" | grep -c '\.txt$' || true)" -lt 64 ]; do sleep 10; done
( cd "$here" && /usr/bin/python3 recover.py "$work/run/base.onnx" "$work/run/base.pt" --data "$work/MIX" --images 64 )

keep_checkpoints
( cd "$here" && OMP_WAIT_POLICY=PASSIVE nice /usr/bin/python3 train.py --data "$work/VAR" "$work/VARLOW" "$work/MIX" \
    --out "$work/run" --minutes "$minutes" --seed "$seed" --workers 3 --lr 3e-4 --checkpoint-minutes 5 --freeze-norm \
    --resume "$work/run/base.pt" )
kill "$keeper" "${pids[@]}" 2>/dev/null || true
( cd "$here" && /usr/bin/python3 export.py "$work/run/last.pt" "$work/run/tarv_board.onnx" )
"$build/tools/landmark_training/landmark_seal" "$work/run/tarv_board.onnx" "$out" "$(printf '%024x' "$seed")"
