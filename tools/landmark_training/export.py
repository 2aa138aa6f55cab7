"""Exports a checkpoint of the landmark network as ONNX for OpenCV's reader.

  python3 export.py CKPT OUT.onnx [CROSSING_FLOOR]
"""
import sys

import torch

from landmark_net import CROSSING_FLOOR, ExportNet, LandmarkNet


def main():
    ckpt, out = sys.argv[1], sys.argv[2]
    net = LandmarkNet()
    net.load_state_dict(torch.load(ckpt)["model"])
    net.eval()
    floor = float(sys.argv[3]) if len(sys.argv) > 3 else CROSSING_FLOOR
    model = ExportNet(net, 640, floor).eval()
    x = torch.zeros(1, 3, 640, 640)
    torch.onnx.export(model, x, out, opset_version=11, input_names=["images"], output_names=["output"],
                      do_constant_folding=True, training=torch.onnx.TrainingMode.EVAL)
    print("wrote", out)


if __name__ == "__main__":
    main()
