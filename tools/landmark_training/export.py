"""Exports a checkpoint of the landmark network as ONNX for OpenCV's reader.

  python3 export.py CKPT OUT.onnx [CROSSING_FLOOR] [--blend BASE.pt SHARE]

With --blend the exported weights are SHARE of CKPT's and the rest of BASE.pt's (both of the
same network, a fine-tune and the checkpoint it started from): a fine-tune taken part of the way.
"""
import argparse

import torch

from landmark_net import CROSSING_FLOOR, ExportNet, LandmarkNet


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("ckpt")
    ap.add_argument("out")
    ap.add_argument("floor", nargs="?", type=float, default=CROSSING_FLOOR)
    ap.add_argument("--blend", nargs=2, metavar=("BASE", "SHARE"))
    args = ap.parse_args()
    net = LandmarkNet()
    state = torch.load(args.ckpt)["model"]
    if args.blend:
        base, share = torch.load(args.blend[0])["model"], float(args.blend[1])
        state = {k: (share * v + (1.0 - share) * base[k]) if v.is_floating_point() else v for k, v in state.items()}
    net.load_state_dict(state)
    net.eval()
    model = ExportNet(net, 640, args.floor).eval()
    x = torch.zeros(1, 3, 640, 640)
    torch.onnx.export(model, x, args.out, opset_version=11, input_names=["images"], output_names=["output"],
                      do_constant_folding=True, training=torch.onnx.TrainingMode.EVAL)
    print("wrote", args.out)


if __name__ == "__main__":
    main()
