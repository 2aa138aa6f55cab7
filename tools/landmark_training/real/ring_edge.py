#!/usr/bin/env python3
"""The double ring's outer edge in a photograph of a board, for a label's "rings" entry.

  ring_edge.py IMAGE OUT.json CX CY A B ANGLE [--step DEG] [--order N] [--crops CROPS.png]

Starts from a rough ellipse (centre, half axes A along ANGLE degrees and B across it), which
may come from `landmark_real fit` or from the eye, within about ten pixels of the edge. Along a
ray from the centre every --step degrees it finds where the double bed's colour ends: the
steepest fall of the colourfulness (largest minus smallest channel) within 14 px of the rough
ellipse. An ellipse with a radial Fourier correction of the given order (a lens's bend) is
fitted through those points, the ones off it (radial wires, glints, darts) left out; OUT.json
gets "ring" (72 points, as a label's ring), "points", "dropped" and "rms_px". --crops writes
eight crops round the ring, enlarged, with the curve drawn: look at them before using a ring.
The colour ends half a wire inside the 170 mm ring: a label from this script says
"ring_mm": 169.5.
"""
import argparse
import json
import math

import cv2
import numpy as np


def edge_points(image, cx, cy, a, b, angle, step):
    colour = image.max(axis=2) - image.min(axis=2)
    colour = cv2.GaussianBlur(colour, (0, 0), 0.8)
    t = math.radians(angle)
    points = []
    for k in range(int(round(360 / step))):
        p = math.radians(k * step)
        x, y = a * math.cos(p), b * math.sin(p)
        ex, ey = cx + x * math.cos(t) - y * math.sin(t), cy + x * math.sin(t) + y * math.cos(t)
        r0 = math.hypot(ex - cx, ey - cy)
        ux, uy = (ex - cx) / r0, (ey - cy) / r0
        rs = np.arange(r0 - 14, r0 + 14, 0.25)
        xs, ys = (cx + rs * ux).astype(np.float32), (cy + rs * uy).astype(np.float32)
        if xs.min() < 2 or ys.min() < 2 or xs.max() > image.shape[1] - 3 or ys.max() > image.shape[0] - 3:
            continue
        profile = cv2.remap(colour, xs.reshape(1, -1), ys.reshape(1, -1), cv2.INTER_LINEAR).ravel()
        d = np.gradient(profile)
        i = int(np.argmin(d))
        if i < 2 or i > len(d) - 3:
            continue
        den = d[i - 1] - 2 * d[i] + d[i + 1]
        off = 0.5 * (d[i - 1] - d[i + 1]) / den if den != 0 else 0.0
        r = rs[i] + off * 0.25
        points.append((cx + r * ux, cy + r * uy))
    return np.array(points, np.float32)


def fit(points, use, order):
    e = cv2.fitEllipse(points[use])
    (ex, ey), (w, h), an = e
    t = math.radians(an)
    u = (points[:, 0] - ex) * math.cos(t) + (points[:, 1] - ey) * math.sin(t)
    v = -(points[:, 0] - ex) * math.sin(t) + (points[:, 1] - ey) * math.cos(t)
    phi = np.arctan2(v / (h / 2), u / (w / 2))
    s = np.hypot(u / (w / 2), v / (h / 2))
    design = np.stack([np.ones_like(phi)] + sum([[np.cos(k * phi), np.sin(k * phi)] for k in range(1, order + 1)], []), 1)
    coef, *_ = np.linalg.lstsq(design[use], s[use] - 1, rcond=None)
    residual = (s - 1 - design @ coef) * np.hypot(u, v) / s

    def curve(n):
        out = []
        for i in range(n):
            p = i * 2 * math.pi / n
            d = np.array([1.0] + sum([[math.cos(k * p), math.sin(k * p)] for k in range(1, order + 1)], []))
            sc = 1 + d @ coef
            x, y = sc * w / 2 * math.cos(p), sc * h / 2 * math.sin(p)
            out.append((ex + x * math.cos(t) - y * math.sin(t), ey + x * math.sin(t) + y * math.cos(t)))
        return out

    return residual, curve


def write_crops(image, curve, path, zoom=8, half=12):
    dense = curve(1440)
    tiles = []
    for k in range(8):
        px, py = dense[k * 180]
        x0, y0 = int(round(px)) - half, int(round(py)) - half
        crop = cv2.copyMakeBorder(image, half, half, half, half, cv2.BORDER_CONSTANT)[y0 + half:y0 + 3 * half, x0 + half:x0 + 3 * half]
        big = cv2.resize(crop, None, fx=zoom, fy=zoom, interpolation=cv2.INTER_CUBIC)
        poly = np.array([[int((x - x0 + 0.5) * zoom * 4), int((y - y0 + 0.5) * zoom * 4)] for x, y in dense], np.int32)
        cv2.polylines(big, [poly], True, (0, 255, 255), 1, cv2.LINE_AA, 2)
        tiles.append(big)
    cv2.imwrite(path, np.vstack([np.hstack(tiles[:4]), np.hstack(tiles[4:])]))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('image')
    ap.add_argument('out')
    ap.add_argument('seed', nargs=5, type=float, metavar=('CX', 'CY', 'A', 'B', 'ANGLE'))
    ap.add_argument('--step', type=float, default=2.5)
    ap.add_argument('--order', type=int, default=4)
    ap.add_argument('--crops')
    args = ap.parse_args()
    image = cv2.imread(args.image)
    if image is None:
        raise SystemExit('cannot read ' + args.image)
    seed = args.seed
    # Twice: the second search round the first fit.
    for _ in range(2):
        points = edge_points(image.astype(np.float32), *seed, args.step)
        use = np.ones(len(points), bool)
        for _ in range(5):
            residual, curve = fit(points, use, args.order)
            use = np.abs(residual) < max(1.2, 3 * np.median(np.abs(residual[use])))
        residual, curve = fit(points, use, args.order)
        (ex, ey), (w, h), an = cv2.fitEllipse(points[use])
        seed = (ex, ey, w / 2, h / 2, an)
    rms = float(np.sqrt(np.mean(residual[use] ** 2)))
    json.dump({'ring': [[round(x, 2), round(y, 2)] for x, y in curve(72)], 'rms_px': round(rms, 3),
               'points': points[use].round(2).tolist(), 'dropped': points[~use].round(2).tolist()}, open(args.out, 'w'))
    print('points %d, kept %d, rms %.2f px' % (len(points), int(use.sum()), rms))
    if args.crops:
        write_crops(image, curve, args.crops)


if __name__ == '__main__':
    main()
