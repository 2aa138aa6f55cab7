"""Measures what the landmark network finds on rendered boards, before any camera solve.

  python3 evaluate.py CKPT_OR_ONNX DIR [--boards N] [--radius PX]

DIR holds boards written by `landmark_render` (network inputs and their labels). The output is
decoded as the library decodes it (best class per cell, score threshold 0.2, suppression of
16 x 16 boxes per class at IoU 0.7, crossings used above 0.25) and matched to the labels within
--radius input pixels. Printed per class group: recall, localisation error of the matched
detections (mean, median, 90th percentile in input pixels), detections that match nothing
(false or duplicate), and the share of boards with a bull found.
"""
import argparse
import glob
import os

import cv2
import numpy as np
import torch

from landmark_net import CLASSES, CROSSING_FLOOR, ExportNet, LandmarkNet

SCORE, NMS, CROSSING_SCORE = 0.2, 0.7, 0.25
GROUPS = {"bull": [0], "crossing": [1], "number": list(range(2, CLASSES))}


def load(path, floor=CROSSING_FLOOR):
    if path.endswith(".onnx"):
        net = cv2.dnn.readNetFromONNX(path)

        def run(image):
            net.setInput(cv2.dnn.blobFromImage(image, 1 / 255.0, (640, 640), swapRB=True))
            return net.forward()[0]
        return run
    model = LandmarkNet()
    model.load_state_dict(torch.load(path)["model"])
    export = ExportNet(model.eval(), 640, floor).eval()

    def run(image):
        x = torch.from_numpy(image[:, :, ::-1].transpose(2, 0, 1).astype(np.float32) / 255.0)[None]
        with torch.no_grad():
            return export(x)[0].numpy()
    return run


def decode(out):
    scores = out[4:]
    cls = scores.argmax(0)
    best = scores.max(0)
    keep = np.nonzero(best >= SCORE)[0]
    boxes, sc, cl, centres = [], [], [], []
    for j in keep:
        cx, cy, w, h = out[0, j], out[1, j], out[2, j], out[3, j]
        c = int(cls[j])
        shift = 4 * 10000.0 * c
        boxes.append([float(cx - w / 2 + shift), float(cy - h / 2 + shift), float(w), float(h)])
        sc.append(float(best[j]))
        cl.append(c)
        centres.append((cx, cy))
    if not boxes:
        return np.zeros((0, 2)), np.zeros(0, int), np.zeros(0)
    idx = np.array(cv2.dnn.NMSBoxes(boxes, sc, SCORE, NMS)).reshape(-1)
    centres = np.array(centres)[idx]
    cl = np.array(cl)[idx]
    sc = np.array(sc)[idx]
    used = (cl != 1) | (sc > CROSSING_SCORE)
    return centres[used], cl[used], sc[used]


def match(truth, det, radius):
    """Greedy nearest matching; returns the errors of matched pairs and the unmatched count."""
    if len(truth) == 0 or len(det) == 0:
        return [], len(det)
    d = np.linalg.norm(truth[:, None, :] - det[None, :, :], axis=2)
    errors, used_t, used_d = [], set(), set()
    for flat in np.argsort(d, axis=None):
        i, j = divmod(int(flat), d.shape[1])
        if d[i, j] > radius:
            break
        if i in used_t or j in used_d:
            continue
        used_t.add(i)
        used_d.add(j)
        errors.append(d[i, j])
    return errors, len(det) - len(used_d)


def explained(truth, det):
    """What the camera solve would see if it found the true camera: detections within a quarter
    of their crossing's spacing to its nearest neighbour, one to one, and all detections."""
    if len(truth) < 2 or len(det) == 0:
        return 0, len(det)
    d = np.linalg.norm(truth[:, None] - truth[None], axis=2)
    np.fill_diagonal(d, np.inf)
    tolerance = 0.25 * d.min(1)
    e = np.linalg.norm(det[:, None] - truth[None], axis=2)
    taken, matched = set(), 0
    for j in range(len(det)):
        i = int(e[j].argmin())
        if e[j, i] < tolerance[i] and i not in taken:
            taken.add(i)
            matched += 1
    return matched, len(det)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("model")
    ap.add_argument("data")
    ap.add_argument("--boards", type=int, default=40)
    ap.add_argument("--radius", type=float, default=4.0)
    ap.add_argument("--crossing-floor", type=float, default=CROSSING_FLOOR, help="for a checkpoint")
    args = ap.parse_args()
    run = load(args.model, args.crossing_floor)
    files = sorted(glob.glob(os.path.join(args.data, "*.jpg")))[:args.boards]
    stats = {g: {"truth": 0, "errors": [], "false": 0} for g in GROUPS}
    bulls = solvable = clean = 0
    for f in files:
        image = cv2.imread(f, cv2.IMREAD_COLOR)
        labels = np.loadtxt(f[:-4] + ".txt", ndmin=2, dtype=np.float32).reshape(-1, 5)
        centres, cl, _ = decode(run(image))
        for g, members in GROUPS.items():
            t = labels[np.isin(labels[:, 0].astype(int), members)]
            d = centres[np.isin(cl, members)] if len(cl) else np.zeros((0, 2))
            errs, false = [], 0
            if g == "number":  # numbers match only their own position
                for c in members:
                    e, fl = match(t[t[:, 0] == c][:, 1:3], centres[cl == c] if len(cl) else np.zeros((0, 2)), args.radius * 2)
                    errs += e
                    false += fl
            else:
                errs, false = match(t[:, 1:3], d, args.radius)
            stats[g]["truth"] += len(t)
            stats[g]["errors"] += errs
            stats[g]["false"] += false
        bulls += int(np.any(cl == 0)) if len(cl) else 0
        matched, detected = explained(labels[labels[:, 0] == 1][:, 1:3], centres[cl == 1] if len(cl) else np.zeros((0, 2)))
        solvable += int(matched >= 25)
        clean += int(matched >= 25 and matched >= 0.9 * detected)
    print(f"boards {len(files)}  bull found on {bulls}  25 crossings within the solve's tolerance on {solvable}, "
          f"and nine in ten detections so placed on {clean}")
    for g, s in stats.items():
        e = np.array(s["errors"]) if s["errors"] else np.array([np.nan])
        print(f"{g:9s} labels {s['truth']:5d} recall {len(s['errors']) / max(s['truth'], 1):.3f}  "
              f"error mean {np.mean(e):.2f} median {np.median(e):.2f} p90 {np.percentile(e, 90):.2f} px  "
              f"unmatched detections {s['false']} ({s['false'] / max(len(files), 1):.1f} a board)")


if __name__ == "__main__":
    main()
