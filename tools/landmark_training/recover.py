"""Recovers a training checkpoint from an exported landmark network, so that a committed model
can be fine-tuned after its checkpoints are gone.

  python3 recover.py MODEL.onnx OUT.pt [--data DIR ...] [--images N]

MODEL.onnx is the plain ONNX file (`landmark_unseal` opens a sealed one). The export folded
each batch norm into the convolution before it, so the norm's statistics are lost; they are
measured again on rendered boards (--data) and the norm is set so that, in evaluation, the
network computes exactly what the file computes, while training normalises with statistics
close to the ones it meets. The check at the end runs both on the same input.
"""
import argparse
import glob
import os
import random

import cv2
import numpy as np
import onnx
import torch
import torch.nn as nn
from onnx import numpy_helper

from landmark_net import CROSSING_FLOOR, ExportNet, LandmarkNet


def folded_layers(path):
    """(op, weight, bias) of every convolution in the file, in graph order."""
    model = onnx.load(path)
    init = {t.name: numpy_helper.to_array(t) for t in model.graph.initializer}
    for node in model.graph.node:  # constants folded into nodes rather than initializers
        if node.op_type == "Constant":
            for a in node.attribute:
                if a.name == "value":
                    init[node.output[0]] = numpy_helper.to_array(a.t)
    norm_of = {n.input[0]: n for n in model.graph.node if n.op_type == "BatchNormalization"}
    layers = []
    for node in model.graph.node:
        if node.op_type in ("Conv", "ConvTranspose"):
            w = init[node.input[1]]
            b = init[node.input[2]] if len(node.input) > 2 and node.input[2] else None
            bn = norm_of.get(node.output[0])
            if bn is not None:  # a norm the export left unfolded (after a transposed convolution)
                eps = next((a.f for a in bn.attribute if a.name == "epsilon"), 1e-5)
                bn = [init[name] for name in bn.input[1:5]] + [eps]
            layers.append((node.op_type, w, b, bn))
    return layers


def convolutions(net):
    """Every convolution of the net with the batch norm that follows it (None for the heads)."""
    out = []
    mods = list(net.modules())
    for i, m in enumerate(mods):
        if isinstance(m, (nn.Conv2d, nn.ConvTranspose2d)):
            bn = mods[i + 1] if i + 1 < len(mods) and isinstance(mods[i + 1], nn.BatchNorm2d) else None
            out.append((m, bn))
    return out


def load_folded(net, layers):
    """Loads the file's layers into the net; returns the norms whose statistics were folded away."""
    folded = []
    pairs = convolutions(net)
    if len(pairs) != len(layers):
        raise SystemExit(f"the file has {len(layers)} convolutions, the net {len(pairs)}")
    for (conv, bn), (op, w, b, norm) in zip(pairs, layers):
        want = "ConvTranspose" if isinstance(conv, nn.ConvTranspose2d) else "Conv"
        if op != want or tuple(conv.weight.shape) != w.shape:
            raise SystemExit(f"layer mismatch: {op} {w.shape} against {want} {tuple(conv.weight.shape)}")
        bias = b if b is not None else np.zeros(w.shape[1 if op == "ConvTranspose" else 0], np.float32)
        with torch.no_grad():
            conv.weight.copy_(torch.from_numpy(w.copy()))
            if norm is not None:
                if bn is None or b is not None:
                    raise SystemExit("a norm in the file where the net has none")
                for t, v in zip((bn.weight, bn.bias, bn.running_mean, bn.running_var), norm[:4]):
                    t.copy_(torch.from_numpy(v.copy()))
                bn.eps = float(norm[4])
            elif bn is None:
                conv.bias.copy_(torch.from_numpy(bias.copy()))
            else:
                # Mean 0 and variance 1: the norm adds the folded bias and nothing else.
                bn.running_mean.zero_()
                bn.running_var.fill_(1.0 - bn.eps)
                bn.weight.fill_(1.0)
                bn.bias.copy_(torch.from_numpy(bias.copy()))
                folded.append(bn)
    return folded


def inputs(folders, count, rng):
    files = sorted(f for d in folders for f in glob.glob(os.path.join(d, "*.jpg")))
    rng.shuffle(files)
    for f in files[:count]:
        image = cv2.imread(f, cv2.IMREAD_COLOR)[:, :, ::-1]
        yield torch.from_numpy(image.transpose(2, 0, 1).astype(np.float32) / 255.0)[None]


def restore_statistics(net, norms, batches):
    """Measures each norm's input per channel and moves the norm's statistics there, keeping
    what the net computes in evaluation."""
    sums = {}

    def hook(bn):
        def f(_, args):
            x = args[0].detach().double()
            s = sums.setdefault(bn, [0.0, 0.0, 0])
            s[0] = s[0] + x.sum((0, 2, 3))
            s[1] = s[1] + (x * x).sum((0, 2, 3))
            s[2] += x.numel() // x.shape[1]
        return f

    handles = [bn.register_forward_pre_hook(hook(bn)) for bn in norms]
    net.eval()
    with torch.no_grad():
        for x in batches:
            net(x)
    for h in handles:
        h.remove()
    with torch.no_grad():
        for bn in norms:
            s1, s2, n = sums[bn]
            mean = s1 / n
            var = (s2 / n - mean * mean).clamp(min=1e-6)
            bn.running_mean.copy_(mean.float())
            bn.running_var.copy_(var.float())
            bn.weight.copy_(torch.sqrt(var + bn.eps).float())
            bn.bias.add_(mean.float())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("onnx")
    ap.add_argument("out")
    ap.add_argument("--data", nargs="*", default=[])
    ap.add_argument("--images", type=int, default=64)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    torch.set_num_threads(min(3, torch.get_num_threads()))
    net = LandmarkNet()
    folded = load_folded(net, folded_layers(args.onnx))
    rng = random.Random(args.seed)
    if args.data:
        restore_statistics(net, folded, inputs(args.data, args.images, rng))
    torch.save({"model": net.state_dict(), "steps": 0, "crops": 0, "seed": args.seed}, args.out)

    # The same input through the file (OpenCV) and the recovered net.
    x = next(inputs(args.data, 1, rng)) if args.data else torch.rand(1, 3, 640, 640)
    reader = cv2.dnn.readNetFromONNX(args.onnx)
    reader.setInput(x.numpy())
    want = reader.forward()[0]
    with torch.no_grad():
        got = ExportNet(net.eval(), 640, CROSSING_FLOOR).eval()(x)[0].numpy()
    print(f"wrote {args.out}; largest difference to the file: boxes {np.abs(got[:4] - want[:4]).max():.2e} px, "
          f"scores {np.abs(got[4:] - want[4:]).max():.2e}")


if __name__ == "__main__":
    main()
