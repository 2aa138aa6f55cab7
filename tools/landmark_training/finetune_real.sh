#!/usr/bin/env bash
# Fine-tunes a committed landmark network on real rigs' frames beside the renders, and seals it:
#   tools/landmark_training/finetune_real.sh BASE.tarvm OUT.tarvm [BUILD_DIR] [WORK_DIR] [MINUTES] [SEED] [CHECKPOINT] [DATA_DIR]
# The real frames are real/rigs.json's "train" split (DATA_DIR holds the fetched images, one
# folder per repository as in the labels' "file"), written once into WORK_DIR/REAL by
# `landmark_real write`; its "check" split goes to WORK_DIR/REALCHECK for choosing a checkpoint.
# The boards, fewer than finetune_photo.sh's (the same seed renders the same board):
#   VAR    200,001-200,400 (rig variety), 270,001-270,200 (rig variety, 10 to 85 degrees)
#   VARLOW 300,001-300,200 (rig variety, 10 to 25 degrees)
#   MIX    60,001-60,600 (the usual mix)
# Half of every batch is the usual mix
# as rendered, a quarter the real frames (scaled, turned and mirrored, real_view in train.py),
# the rest the rig variety. Three single-threaded workers (niced), the photograph fine-tune's
# learning rate; the checkpoints are copied as they are written (WORK_DIR/run/ckpt_HHMM.pt) and
# CHECKPOINT (a file name there) is sealed instead of the run's end where one was chosen on the
# check frames and renders the training never saw.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/finetune_common.sh"
finetune_args landmark_real 30 47 "$@"
data="${8:-/work/data}"
prepare_finetune
chunks "$work/MIX" 60001 600
chunks "$work/VAR" 200001 400 --rig-variety
chunks "$work/VAR" 270001 200 --rig-variety --above 10 85
chunks "$work/VARLOW" 300001 200 --rig-variety --above 10 25
( cd "$here" && /usr/bin/python3 recover.py "$work/run/base.onnx" "$work/run/base.pt" --data "$work/MIX" --images 64 )
write_real_frames

keep_checkpoints
( cd "$here" && OMP_NUM_THREADS=1 OMP_WAIT_POLICY=PASSIVE nice /usr/bin/python3 train.py --data "$work/VAR" "$work/VARLOW" \
    --anchor "$work/MIX" --anchor-share 0.5 --real "$work/REAL" --real-share 0.25 \
    --out "$work/run" --minutes "$minutes" --seed "$seed" --workers 3 --lr 1e-4 --checkpoint-minutes 3 --freeze-norm \
    --resume "$work/run/base.pt" )
seal_run tarv_board
