#!/usr/bin/env bash
# Installs what the landmark training needs from the distribution: PyTorch, NumPy, OpenCV and
# ONNX (to read a committed model back).
# The library's own build never runs this; only the training does.
set -euo pipefail
need=()
/usr/bin/python3 -c "import torch" 2>/dev/null || need+=(python3-torch)
/usr/bin/python3 -c "import numpy" 2>/dev/null || need+=(python3-numpy)
/usr/bin/python3 -c "import cv2" 2>/dev/null || need+=(python3-opencv)
/usr/bin/python3 -c "import onnx" 2>/dev/null || need+=(python3-onnx)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${need[@]}"
fi
/usr/bin/python3 -c "import torch, numpy, cv2; print('torch', torch.__version__, 'numpy', numpy.__version__, 'opencv', cv2.__version__)"
