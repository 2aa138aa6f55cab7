# Sourced by the fine-tune scripts once here, base, out, build and work are set.

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
