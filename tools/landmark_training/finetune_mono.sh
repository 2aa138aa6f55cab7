#!/usr/bin/env bash
# Fine-tunes a committed landmark network into the network for images without colour (grey and
# infrared cameras, black-and-white and sepia prints), and seals the result:
#   tools/landmark_training/finetune_mono.sh BASE.tarvm OUT.tarvm [BUILD_DIR] [WORK_DIR] [MINUTES] [SEED] [CHECKPOINT]
# The library reads this network only for images it finds without colour, turned grey, so every
# crop of the training is made colour-free (grey, hard black-and-white, washed out, sepia or
# cold-toned, a faded print keeping a little colour; with grain), a tenth of them also seen
# enlarged from a few pixels (a small board in a photograph). Nothing of the coloured renders has
# to be kept, so there is no anchor share and the rate is that of the photograph fine-tune.
# The boards are those of finetune_photo.sh: the usual mix and the rig variety beside it.
# Three single-threaded workers (niced); the checkpoints are copied as they are written
# (WORK_DIR/run/ckpt_HHMM.pt) and CHECKPOINT (a file name there) is sealed instead of the run's
# end where one was chosen on grey renders (tarv_landmark_bench --grey) and grey photographs.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/finetune_common.sh"
finetune_args landmark_mono 32 43 "$@"
prepare_finetune
render_fixed_boards

keep_checkpoints
( cd "$here" && OMP_NUM_THREADS=1 OMP_WAIT_POLICY=PASSIVE nice /usr/bin/python3 train.py --data "$work/MIX" "$work/VAR" "$work/VARLOW" \
    --colour-free 1.0 --enlarged 0.1 \
    --out "$work/run" --minutes "$minutes" --seed "$seed" --workers 3 --lr 1e-4 --checkpoint-minutes 4 --freeze-norm \
    --resume "$work/run/base.pt" )
seal_run tarv_board_mono
