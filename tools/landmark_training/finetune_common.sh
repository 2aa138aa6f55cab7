# Sourced by the fine-tune scripts once here, base, out, build and work are set (finetune_args
# sets them from the arguments BASE.tarvm OUT.tarvm [BUILD_DIR] [WORK_DIR] [MINUTES] [SEED] [CHECKPOINT]).

# finetune_args WORK_NAME MINUTES SEED "$@": the arguments, with the script's defaults.
finetune_args() {
  local name="$1" m="$2" s="$3"
  shift 3
  local root
  root="$(cd "$here/../.." && pwd)"
  base="$1"
  out="$2"
  build="${3:-$root/build}"
  work="${4:-$root/build/$name}"
  minutes="${5:-$m}"
  seed="${6:-$s}"
  pick="${7:-}"
  render="$build/tools/landmark_training/landmark_render"
}

# The training's tools built, the folders made and the base network opened; the paths made
# absolute, since the trainer runs from this folder.
prepare_finetune() {
  mkdir -p "$work" "$(dirname "$out")"
  base="$(cd "$(dirname "$base")" && pwd)/$(basename "$base")"
  out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
  build="$(cd "$build" && pwd)"
  work="$(cd "$work" && pwd)"
  "$here/setup.sh"
  cmake --build "$build" --target landmark_render landmark_seal landmark_unseal
  mkdir -p "$work/VAR" "$work/VARLOW" "$work/MIX" "$work/run"
  "$build/tools/landmark_training/landmark_unseal" "$base" "$work/run/base.onnx"
}

# Copies every checkpoint as it is written (WORK/run/ckpt_HHMM.pt), so that one can be chosen on
# boards and photographs the training never saw; runs in the background, its pid in keeper.
keep_checkpoints() {
  ( last=""; while true; do
      if [ -f "$work/run/last.pt" ]; then
        m=$(stat -c %Y "$work/run/last.pt")
        if [ "$m" != "$last" ]; then sleep 2; cp "$work/run/last.pt" "$work/run/ckpt_$(date +%H%M).pt"; last=$m; fi
      fi
      sleep 20
    done ) &
  keeper=$!
}

# Renders seeds FIRST..FIRST+COUNT-1 into DIR in chunks of 20, skipping chunks already written.
chunks() {
  local dir="$1" first="$2" count="$3"; shift 3
  local s n
  for ((s = first; s < first + count; s += 20)); do
    n=$((first + count - s < 20 ? first + count - s : 20))
    if [ ! -f "$dir/$(printf '%08d' $((s + n - 1))).txt" ]; then nice "$render" "$dir" "$s" "$n" "$@"; fi
  done
}

# The fixed boards of the photograph and colour-free fine-tunes (the same seed renders the same
# board), then the recovered base: the norms' statistics measured on the first 64 of the mix.
render_fixed_boards() {
  chunks "$work/MIX" 60001 2240
  chunks "$work/VAR" 200001 940 --rig-variety
  chunks "$work/VAR" 250001 400 --rig-variety
  chunks "$work/VAR" 270001 1060 --rig-variety --above 10 85
  chunks "$work/VARLOW" 300001 470 --rig-variety --above 10 25
  ( cd "$here" && /usr/bin/python3 recover.py "$work/run/base.onnx" "$work/run/base.pt" --data "$work/MIX" --images 64 )
}

# The real rigs' frames of real/rigs.json (their images under data): the "train" split into
# WORK/REAL, the "check" split into WORK/REALCHECK for choosing a checkpoint.
write_real_frames() {
  cmake --build "$build" --target landmark_real
  mkdir -p "$work/REAL" "$work/REALCHECK"
  "$build/tools/landmark_training/landmark_real" write --labels "$here/real/rigs.json" --images "$data" --out "$work/REAL" --split train
  "$build/tools/landmark_training/landmark_real" write --labels "$here/real/rigs.json" --images "$data" --out "$work/REALCHECK" --split check
}

# Stops the checkpoint copier, exports the chosen checkpoint (pick, a file name in WORK/run, or
# the run's end) as WORK/run/NAME.onnx and seals it into out.
seal_run() {
  kill "$keeper" 2>/dev/null || true
  ( cd "$here" && /usr/bin/python3 export.py "$work/run/${pick:-last.pt}" "$work/run/$1.onnx" )
  "$build/tools/landmark_training/landmark_seal" "$work/run/$1.onnx" "$out" "$(printf '%024x' "$seed")"
}
