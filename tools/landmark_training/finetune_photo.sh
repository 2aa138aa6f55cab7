#!/usr/bin/env bash
# Fine-tunes a committed landmark network for real photographs while it keeps what it does on
# renders, and seals the result:
#   tools/landmark_training/finetune_photo.sh BASE.tarvm OUT.tarvm [BUILD_DIR] [WORK_DIR] [MINUTES] [SEED] [CHECKPOINT]
# The boards are the rig-like ones and the usual mix of finetune_rig.sh, fixed before the
# training starts (a board already in WORK_DIR is not rendered again; the same seed renders the
# same board):
#   VAR    200,001-200,940 and 250,001-250,400 (rig variety, 10 to 60 degrees above the board),
#          270,001-271,060 (rig variety, 10 to 85 degrees: photographs are often taken face on)
#   VARLOW 300,001-300,470 (rig variety, 10 to 25 degrees)
#   MIX    60,001-62,240 (the usual mix)
# Half of every batch is the usual mix as rendered, so that the renders the checks measure are
# not traded away; the other half gets the looks of photographs on top of the rig variety:
# grey, black-and-white, sepia and washed-out prints (two in five) and boards seen enlarged
# from a few pixels (about one in seven). Three single-threaded workers (niced), the learning
# rate a third of the rig fine-tune's. The gain on photographs comes in the first minutes, while
# the renders drift the further the weights move, so the checkpoints are copied as they are
# written (WORK_DIR/run/ckpt_HHMM.pt); CHECKPOINT (a file name there) is sealed instead of
# the run's end where one was chosen on boards and photographs.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/finetune_common.sh"
finetune_args landmark_photo 60 39 "$@"
prepare_finetune
render_fixed_boards

keep_checkpoints
( cd "$here" && OMP_NUM_THREADS=1 OMP_WAIT_POLICY=PASSIVE nice /usr/bin/python3 train.py --data "$work/VAR" "$work/VARLOW" \
    --anchor "$work/MIX" --anchor-share 0.5 --colour-free 0.4 --enlarged 0.15 \
    --out "$work/run" --minutes "$minutes" --seed "$seed" --workers 3 --lr 1e-4 --checkpoint-minutes 5 --freeze-norm \
    --resume "$work/run/base.pt" )
seal_run tarv_board
