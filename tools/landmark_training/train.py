"""Trains the board-landmark network on boards written by `landmark_render`.

  python3 train.py --data DIR [DIR ...] --out DIR [--minutes M] [--seed S] [--workers N] [--resume CKPT]
                   [--freeze-norm] [--anchor DIR ... --anchor-share F] [--colour-free P] [--small-boards P] [--enlarged P]
                   [--real DIR ... --real-share F]

Real frames (`landmark_real write`: a photograph's letterboxed input and the landmarks its
checked camera shows) take --real-share of every batch beside the renders, each seen scaled,
turned and sometimes mirrored with its labels moved alike (a mirrored board's numbers are no
numbers, so their labels are dropped there).

Each step takes random 256 x 256 crops of the 640 x 640 network inputs (the network is fully
convolutional, so crops teach it the same as whole inputs at a quarter of the cost). The
learning rate follows a cosine over the given wall-clock time, and a checkpoint is written
every few minutes, so a run can be stopped at any time and exported. Several single-threaded
processes train the one network in shared memory, which shares a busy machine better than one
process with many threads.
"""
import argparse
import glob
import math
import os
import random
import time

import cv2
import numpy as np
import torch
import torch.multiprocessing as mp

cv2.setNumThreads(1)

from landmark_net import CLASSES, OFFSET_LO, OFFSET_SPAN, STRIDE, LandmarkNet

CROP = 256
SIGMA = {0: 1.2, 1: 0.8}  # heat spread in cells; sector numbers use 1.5


def read_sample(path):
    image = cv2.imread(path, cv2.IMREAD_COLOR)[:, :, ::-1]  # RGB, as the detector's blob
    labels = np.loadtxt(path[:-4] + ".txt", ndmin=2, dtype=np.float32)
    if labels.size == 0:
        labels = np.zeros((0, 5), np.float32)
    return image, without_bull_ring(labels)


def without_bull_ring(labels):
    """The labels without the crossings of the bull's outer ring: they lie a few pixels apart
    round the bull, closer than the network places a crossing, so the solve cannot tell which
    is which and each one it reported would count against the camera. The network learns to
    leave them out. They are the (at most twenty) crossings nearest the bull inside its box."""
    bull = labels[labels[:, 0] == 0]
    crossing = np.nonzero(labels[:, 0] == 1)[0]
    if len(bull) == 0 or len(crossing) == 0:
        return labels
    d = np.hypot(labels[crossing, 1] - bull[0, 1], labels[crossing, 2] - bull[0, 2])
    reach = 0.52 * bull[0, 3]  # the box is twice the ring's largest projected radius
    nearest = crossing[np.argsort(d)[:20]]
    drop = nearest[np.hypot(labels[nearest, 1] - bull[0, 1], labels[nearest, 2] - bull[0, 2]) < reach]
    return np.delete(labels, drop, axis=0)


def targets(labels, cells):
    """Heat (22, H, W), offsets (2, H, W) in cells from each cell's corner, and their weight."""
    heat = np.zeros((CLASSES, cells, cells), np.float32)
    offset = np.zeros((2, cells, cells), np.float32)
    weight = np.zeros((cells, cells), np.float32)
    if len(labels) == 0:
        return heat, offset, weight
    cls = labels[:, 0].astype(np.int64)
    gx, gy = labels[:, 1] / STRIDE, labels[:, 2] / STRIDE
    ix, iy = np.floor(gx).astype(np.int64), np.floor(gy).astype(np.int64)
    sigma = np.where(cls == 0, SIGMA[0], np.where(cls == 1, SIGMA[1], 1.5))
    dy, dx = np.mgrid[-2:3, -2:3]
    x = ix[:, None] + dx.ravel()[None]
    y = iy[:, None] + dy.ravel()[None]
    d2 = (x + 0.5 - gx[:, None]) ** 2 + (y + 0.5 - gy[:, None]) ** 2
    t = np.exp(-d2 / (2 * sigma[:, None] ** 2))
    t[:, 12] = 1.0  # the cell that holds the centre
    c = np.broadcast_to(cls[:, None], x.shape)
    inside = (x >= 0) & (x < cells) & (y >= 0) & (y < cells)
    np.maximum.at(heat, (c[inside], y[inside], x[inside]), t[inside].astype(np.float32))
    # Every cell next to a landmark points at it, so that its duplicates land on the same
    # centre and the suppression merges them; where two compete the nearer one wins.
    near = inside & (np.abs(x - ix[:, None]) <= 1) & (np.abs(y - iy[:, None]) <= 1)
    ox = np.broadcast_to(gx[:, None], x.shape) - x
    oy = np.broadcast_to(gy[:, None], x.shape) - y
    order = np.argsort(t[near], kind="stable")
    xs, ys, ts = x[near][order], y[near][order], t[near][order]
    offset[0, ys, xs] = ox[near][order]
    offset[1, ys, xs] = oy[near][order]
    weight[ys, xs] = 1.0 + 3.0 * ts
    return heat, offset, weight


def random_crop(image, labels, rng):
    size = image.shape[0]
    if len(labels) and rng.random() < 0.9:
        k = rng.randrange(len(labels))
        cx, cy = labels[k, 1], labels[k, 2]
        x0 = int(np.clip(cx - rng.uniform(40, CROP - 40), 0, size - CROP))
        y0 = int(np.clip(cy - rng.uniform(40, CROP - 40), 0, size - CROP))
    else:
        x0, y0 = rng.randrange(size - CROP + 1), rng.randrange(size - CROP + 1)
    x0 -= x0 % STRIDE
    y0 -= y0 % STRIDE
    crop = image[y0:y0 + CROP, x0:x0 + CROP]
    moved = labels.copy()
    moved[:, 1] -= x0
    moved[:, 2] -= y0
    keep = (moved[:, 1] >= 0) & (moved[:, 1] < CROP) & (moved[:, 2] >= 0) & (moved[:, 2] < CROP)
    return crop, moved[keep]


def photometric(crop, rng):
    x = crop.astype(np.float32)
    if rng.random() < 0.5:
        x = x * rng.uniform(0.75, 1.25) + rng.uniform(-15, 15)
    if rng.random() < 0.3:
        x = x + np.random.default_rng(rng.randrange(1 << 30)).standard_normal(x.shape, np.float32) * rng.uniform(1, 6)
    return np.clip(x, 0, 255)


def colour_free(x, rng):
    """What old and printed photographs make of a board: grey, black-and-white prints of high
    contrast, sepia, washed out or barely coloured, with the grain of a print. The board's red
    and green beds then differ from the black and white ones by brightness alone."""
    grey = x @ np.array([0.299, 0.587, 0.114], np.float32)
    look = rng.random()
    if look < 0.3:  # a faded print that keeps a little colour
        keep = rng.uniform(0.0, 0.35)
        x = grey[..., None] + (x - grey[..., None]) * keep
    else:
        g = grey
        if look < 0.6:  # a hard black-and-white print
            g = (g - 128.0) * rng.uniform(1.3, 2.4) + 128.0 + rng.uniform(-30, 30)
            g = 255.0 * (np.clip(g, 0, 255) / 255.0) ** rng.uniform(0.7, 1.4)
        elif look < 0.8:  # washed out
            g = g * rng.uniform(0.45, 0.8) + rng.uniform(40, 110)
        x = np.repeat(np.clip(g, 0, 255)[..., None], 3, axis=2)
        if rng.random() < 0.35:  # sepia or a cold tint
            tint = rng.choice(([1.0, 0.86, 0.66], [1.0, 0.92, 0.8], [0.85, 0.93, 1.0]))
            x = x * np.array(tint, np.float32)
    if rng.random() < 0.5:
        grain = np.random.default_rng(rng.randrange(1 << 30)).standard_normal(x.shape[:2], np.float32)
        x = x + grain[..., None] * rng.uniform(2, 10)
    return np.clip(x, 0, 255)


def low_resolution(crop, rng):
    """A board that was small in its photograph and is looked at again enlarged: the detail of
    a few dozen pixels brought up to the network's scale, soft and blocky."""
    size = crop.shape[0]
    f = rng.uniform(1.8, 4.0)
    small = cv2.resize(np.ascontiguousarray(crop), (max(8, int(size / f)), max(8, int(size / f))), interpolation=cv2.INTER_AREA)
    if rng.random() < 0.5:
        _, buf = cv2.imencode(".jpg", np.ascontiguousarray(small), [cv2.IMWRITE_JPEG_QUALITY, rng.randrange(30, 85)])
        small = cv2.imdecode(buf, cv2.IMREAD_COLOR)
    return cv2.resize(small, (size, size), interpolation=rng.choice((cv2.INTER_LINEAR, cv2.INTER_CUBIC)))


def small_board(image, labels, background, rng):
    """The whole board shrunk to 40-110 input pixels across (a board 80-220 px across in a
    1,280 px photograph) and set into a crop of another board's surroundings."""
    bull = labels[labels[:, 0] == 0]
    cross = labels[labels[:, 0] == 1]
    if len(bull) == 0 or len(cross) < 8:
        return None
    across = 2.0 * np.hypot(cross[:, 1] - bull[0, 1], cross[:, 2] - bull[0, 2]).max()
    s = min(1.0, rng.uniform(40, 110) / max(across, 1.0))
    size = image.shape[0]
    n = max(8, int(round(size * s)))
    s = n / size
    shrunk = cv2.resize(np.ascontiguousarray(image), (n, n), interpolation=cv2.INTER_AREA)
    bx, by = bull[0, 1] * s, bull[0, 2] * s
    # The bull somewhere in the crop's middle half; the shrunk image is cut where it leaves it.
    ox = int(round(rng.uniform(0.25, 0.75) * CROP - bx))
    oy = int(round(rng.uniform(0.25, 0.75) * CROP - by))
    bg_img = background[0]
    x0, y0 = rng.randrange(size - CROP + 1), rng.randrange(size - CROP + 1)
    crop = bg_img[y0:y0 + CROP, x0:x0 + CROP].copy()
    # Only the board and a little of its surround come along.
    half = 0.8 * across * s
    sx0, sy0 = max(0, -ox, int(bx - half)), max(0, -oy, int(by - half))
    sx1, sy1 = min(n, CROP - ox, int(bx + half) + 1), min(n, CROP - oy, int(by + half) + 1)
    if sx1 <= sx0 or sy1 <= sy0:
        return None
    crop[sy0 + oy:sy1 + oy, sx0 + ox:sx1 + ox] = shrunk[sy0:sy1, sx0:sx1]
    moved = labels.copy()
    moved[:, 1:] *= s
    moved[:, 1] += ox
    moved[:, 2] += oy
    keep = (moved[:, 1] >= 0) & (moved[:, 1] < CROP) & (moved[:, 2] >= 0) & (moved[:, 2] < CROP)
    # A landmark cut off with the shrunk image's edge is not in the crop.
    keep &= (moved[:, 1] >= ox + sx0) & (moved[:, 1] < ox + sx1) & (moved[:, 2] >= oy + sy0) & (moved[:, 2] < oy + sy1)
    return crop, moved[keep]


def real_view(image, labels, rng):
    """A real frame as another camera might have framed it: scaled 0.6-1.6 about a point of the
    board, turned up to 12 degrees, one in three mirrored, on the letterbox's grey; its landmarks
    moved alike (sizes scaled), those that leave the input dropped, and on a mirrored frame the
    sector numbers dropped, since their glyphs and order are mirrored too."""
    size = image.shape[0]
    if len(labels):
        k = rng.randrange(len(labels))
        centre = (float(labels[k, 1]), float(labels[k, 2]))
    else:
        centre = (size / 2.0, size / 2.0)
    s = rng.uniform(0.6, 1.6)
    m = cv2.getRotationMatrix2D(centre, rng.uniform(-12.0, 12.0), s)
    mirrored = rng.random() < 1.0 / 3.0
    if mirrored:
        m = np.array([[-1.0, 0.0, size - 1.0], [0.0, 1.0, 0.0]]) @ np.vstack([m, [0.0, 0.0, 1.0]])
    out = cv2.warpAffine(np.ascontiguousarray(image), m, (size, size), flags=cv2.INTER_LINEAR,
                         borderMode=cv2.BORDER_CONSTANT, borderValue=(114, 114, 114))
    moved = labels.copy()
    if len(moved):
        xy = np.hstack([moved[:, 1:3], np.ones((len(moved), 1), np.float32)]) @ m.T
        moved[:, 1:3] = xy
        moved[:, 3:5] *= s
        keep = (xy[:, 0] >= 0) & (xy[:, 0] < size) & (xy[:, 1] >= 0) & (xy[:, 1] < size)
        if mirrored:
            keep &= moved[:, 0] < 2
        moved = moved[keep]
    return out, moved


def looks(crop, labels, pool, rng, args):
    """The real-photograph looks, each drawn from the worker's seeded stream only when asked for."""
    if args.small_boards > 0 and rng.random() < args.small_boards:
        image, full = pool.pick(rng)
        made = small_board(image, full, pool.pick(rng), rng)
        if made is not None:
            crop, labels = made
    elif args.enlarged > 0 and rng.random() < args.enlarged:
        crop = low_resolution(crop, rng)
    x = photometric(crop, rng)
    if args.colour_free > 0 and rng.random() < args.colour_free:
        x = colour_free(x, rng)
    return x, labels


# The bull appears once a board and the numbers twenty times against a hundred crossings; their
# terms weigh more so that they are learnt in the same time.
CLASS_WEIGHT = torch.tensor([8.0, 1.0] + [2.0] * (CLASSES - 2)).view(1, CLASSES, 1, 1)


def focal_loss(logits, heat):
    p = torch.sigmoid(logits).clamp(1e-4, 1 - 1e-4)
    pos = heat.eq(1.0).float()
    pos_loss = -torch.log(p) * (1 - p) ** 2 * pos
    neg_loss = -torch.log(1 - p) * p ** 2 * (1 - heat) ** 4 * (1 - pos)
    n = pos.sum().clamp(min=1.0)
    return ((pos_loss + neg_loss) * CLASS_WEIGHT).sum() / n


def offset_loss(off_logits, offset, weight):
    pred = torch.sigmoid(off_logits) * OFFSET_SPAN + OFFSET_LO
    w = weight[:, None]
    return (torch.abs(pred - offset) * w).sum() / w.sum().clamp(min=1.0)


class Pool:
    """Decoded boards kept in memory; a few are replaced by fresh ones at every step, so that
    decoding does not dominate the step and every board is still seen."""

    def __init__(self, size, refresh):
        self.size, self.refresh, self.items = size, refresh, []

    def update(self, files, rng):
        fresh = self.refresh if len(self.items) >= self.size else 12
        for _ in range(fresh):
            item = read_sample(rng.choice(files))
            if len(self.items) < self.size:
                self.items.append(item)
            else:
                self.items[rng.randrange(self.size)] = item

    def pick(self, rng):
        return rng.choice(self.items)


def batch(pool, rng, size, anchor=None, args=None, real=None):
    """A batch of crops; with an anchor pool its share of the batch comes from it as rendered
    (the usual mix, which the checks measure), with real frames theirs, seen as real_view frames
    them, and the rest from the pool with the real looks."""
    cells = CROP // STRIDE
    xs, hs, os_, ws = [], [], [], []
    anchored = int(round(args.anchor_share * size)) if anchor is not None else 0
    reals = int(round(args.real_share * size)) if real is not None else 0
    for k in range(size):
        # Real frames keep their own looks: only the renders get the photographs' looks.
        is_real = anchored <= k < anchored + reals
        if is_real:
            image, labels = real_view(*real.pick(rng), rng)
        else:
            image, labels = (anchor if k < anchored else pool).pick(rng)
        crop, moved = random_crop(image, labels, rng)
        if not is_real and args is not None and k >= anchored and (args.colour_free > 0 or args.small_boards > 0 or args.enlarged > 0):
            x, moved = looks(crop, moved, pool, rng, args)
        else:
            x = photometric(crop, rng)
        xs.append(x.transpose(2, 0, 1) / 255.0)
        h, o, w = targets(moved, cells)
        hs.append(h)
        os_.append(o)
        ws.append(w)
    t = lambda a: torch.from_numpy(np.stack(a).astype(np.float32))
    return t(xs), t(hs), t(os_), t(ws)


def list_boards(folders):
    return sorted(set(f for d in folders for f in glob.glob(os.path.join(d, "*.jpg")) if os.path.exists(f[:-4] + ".txt")))


def worker(rank, args, net, start, counter):
    """One training process on the shared parameters (lock-free, each with its own optimiser
    state and its own stream of boards); rank 0 also logs and writes the checkpoints."""
    torch.set_num_threads(1)
    rng = random.Random(args.seed * 1000 + rank)
    np.random.seed(args.seed * 1000 + rank)
    torch.manual_seed(args.seed * 1000 + rank)
    opt = torch.optim.AdamW(net.parameters(), lr=args.lr, weight_decay=1e-4)
    budget = args.minutes * 60.0
    last_ckpt = time.time()
    log = open(os.path.join(args.out, "train.log"), "a") if rank == 0 else None
    pool = Pool(300, 3)
    files = list_boards(args.data)
    anchor = Pool(300, 3) if args.anchor else None
    anchor_files = list_boards(args.anchor) if args.anchor else []
    real = Pool(300, 2) if args.real else None
    real_files = list_boards(args.real) if args.real else []
    while True:
        elapsed = time.time() - start
        if elapsed > budget:
            break
        files = list_boards(args.data)
        if anchor is not None:
            anchor_files = list_boards(args.anchor)
        frac = elapsed / budget
        lr = args.lr * (0.02 + 0.98 * 0.5 * (1 + math.cos(math.pi * frac))) if frac > 0.03 else args.lr * frac / 0.03 + 1e-5
        for g in opt.param_groups:
            g["lr"] = lr
        net.train()
        if args.freeze_norm:
            # Fine-tuning a recovered net: its norms keep the statistics it was measured with.
            for m in net.modules():
                if isinstance(m, torch.nn.BatchNorm2d):
                    m.eval()
        for _ in range(5):
            pool.update(files, rng)
            if anchor is not None:
                anchor.update(anchor_files, rng)
            if real is not None:
                real.update(real_files, rng)
            x, heat, offset, weight = batch(pool, rng, args.batch, anchor, args, real)
            off, cls = net(x)
            lh = focal_loss(cls, heat)
            lo = offset_loss(off, offset, weight)
            loss = lh + 2.0 * lo
            opt.zero_grad()
            loss.backward()
            opt.step()
            with counter.get_lock():
                counter.value += 1
        if rank != 0:
            continue
        msg = (f"{time.strftime('%H:%M:%S')} steps {counter.value} crops {counter.value * args.batch} boards {len(files)} "
               f"lr {lr:.5f} heat {lh.item():.4f} offset {lo.item():.4f}")
        print(msg, flush=True)
        log.write(msg + "\n")
        log.flush()
        if time.time() - last_ckpt > args.checkpoint_minutes * 60.0:
            save(net, counter.value, args)
            last_ckpt = time.time()


def save(net, steps, args):
    part = os.path.join(args.out, "last.pt.part")
    torch.save({"model": net.state_dict(), "steps": steps, "crops": steps * args.batch, "seed": args.seed}, part)
    os.replace(part, os.path.join(args.out, "last.pt"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", nargs="+", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--minutes", type=float, default=60.0)
    ap.add_argument("--batch", type=int, default=12)
    ap.add_argument("--lr", type=float, default=3e-3)
    ap.add_argument("--seed", type=int, default=25)
    ap.add_argument("--workers", type=int, default=3, help="single-threaded training processes")
    ap.add_argument("--resume")
    ap.add_argument("--checkpoint-minutes", type=float, default=4.0)
    ap.add_argument("--freeze-norm", action="store_true", help="keep the batch norms' statistics (fine-tuning)")
    ap.add_argument("--anchor", nargs="+", help="boards a fixed share of every batch is drawn from, without the real looks")
    ap.add_argument("--anchor-share", type=float, default=0.5)
    ap.add_argument("--colour-free", type=float, default=0.0, help="share of crops made grey, black-and-white, sepia or washed out")
    ap.add_argument("--small-boards", type=float, default=0.0,
                    help="share of crops whose board is shrunk into another's surroundings")
    ap.add_argument("--real", nargs="+", help="real frames with their checked landmarks (landmark_real write)")
    ap.add_argument("--real-share", type=float, default=0.25, help="share of every batch taken from the real frames")
    ap.add_argument("--enlarged", type=float, default=0.0, help="share of crops seen enlarged from a few pixels")
    args = ap.parse_args()

    torch.manual_seed(args.seed)
    torch.set_num_threads(1)
    os.makedirs(args.out, exist_ok=True)
    net = LandmarkNet()
    if args.resume:
        net.load_state_dict(torch.load(args.resume)["model"])
    net.share_memory()
    counter = mp.Value("l", 0)
    start = time.time()
    procs = [mp.Process(target=worker, args=(rank, args, net, start, counter)) for rank in range(args.workers)]
    for p in procs:
        p.start()
    for p in procs:
        p.join()
    save(net, counter.value, args)
    print(f"done: {counter.value} steps, {counter.value * args.batch} crops, {len(list_boards(args.data))} boards, "
          f"{(time.time() - start) / 60:.1f} min", flush=True)


if __name__ == "__main__":
    main()
