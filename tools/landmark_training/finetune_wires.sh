#!/usr/bin/env bash
# Fine-tunes a committed landmark network on boards whose wires stand off the face, beside the
# real rigs' frames and the usual flat mix, and seals it:
#   tools/landmark_training/finetune_wires.sh BASE.tarvm OUT.tarvm [BUILD_DIR] [WORK_DIR] [MINUTES] [SEED] [CHECKPOINT] [DATA_DIR]
# A real board's spider stands a millimetre or two off its face; a network trained on wires
# painted flat never saw a wire's side, which a low camera sees several millimetres deep.
# Every board below but the flat mix has its wires raised 0 to 2 mm (landmark_render
# --wire-height), its crossings labelled where the raised wires cross:
#   VAR    200,001-200,400 (rig variety), 270,001-270,200 (rig variety, 10 to 85 degrees)
#   VARLOW 300,001-300,200 (rig variety, 10 to 25 degrees)
#   WIRES  80,001-80,400 (the usual mix)
#   MIX    60,001-60,600 (the usual mix, flat: half of every batch, so flat boards stay known)
# A quarter of every batch is the real frames of real/rigs.json's "train" split, as in
# finetune_real.sh, whose learning rate and checkpoints this keeps.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/finetune_common.sh"
finetune_args landmark_wires 30 48 "$@"
data="${8:-/work/data}"
prepare_finetune
mkdir -p "$work/WIRES"
chunks "$work/MIX" 60001 600
chunks "$work/VAR" 200001 400 --rig-variety --wire-height 0 2
chunks "$work/VAR" 270001 200 --rig-variety --above 10 85 --wire-height 0 2
chunks "$work/VARLOW" 300001 200 --rig-variety --above 10 25 --wire-height 0 2
chunks "$work/WIRES" 80001 400 --wire-height 0 2
( cd "$here" && /usr/bin/python3 recover.py "$work/run/base.onnx" "$work/run/base.pt" --data "$work/MIX" --images 64 )
write_real_frames

keep_checkpoints
( cd "$here" && OMP_NUM_THREADS=1 OMP_WAIT_POLICY=PASSIVE nice /usr/bin/python3 train.py --data "$work/VAR" "$work/VARLOW" "$work/WIRES" \
    --anchor "$work/MIX" --anchor-share 0.5 --real "$work/REAL" --real-share 0.25 \
    --out "$work/run" --minutes "$minutes" --seed "$seed" --workers 3 --lr 1e-4 --checkpoint-minutes 3 --freeze-norm \
    --resume "$work/run/base.pt" )
seal_run tarv_board
