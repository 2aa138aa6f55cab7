"""Labels real frames for training (real/rigs.json), each from a camera checked by eye:
  python3 label_real.py --build BUILD --data DATA --out LABELS.json --sheets DIR [--repo-of FOLDER OWNER/NAME ...] \
      [--group FOLDER SPLIT CLICK_X CLICK_Y GLOB [GLOB ...]] ... [--views VIEWS.json]
--group: every frame a glob (relative to DATA/FOLDER) names is fitted by `landmark_real fit`
with the click on the 20; the fits go to LABELS.json (repository, commit and path from
DATA/FOLDER/index.txt, the fit's "board_to_image" and 170 mm ring) and their overlays, nine to
a sheet, to DIR for looking at. A fit the overlay shows wrong is not used.
--views: a still camera's frames labelled from one reference frame whose camera was checked on
its overlay: a board fit's homography ("board_to_image"), or the camera `landmark_real measure
--dump` solved (its lens included) with its sector numbers turned to a printed number placed by
eye ("anchor": [NUMBER, X, Y]) where the solve read the turn wrong. Each further frame of the
view (globs "frames", every "every"th) takes the reference's landmarks moved by its image shift
against the reference, and is left out where the camera moved (shift over 2 px, or an unsure
correlation). `landmark_real write` turns the labels into training input."""
import argparse
import glob
import json
import os
import subprocess

import cv2
import numpy as np


def is_sha(text):
    return len(text) == 40 and all(c in "0123456789abcdef" for c in text)


def index_of(data, folder):
    rows = {}
    with open(os.path.join(data, folder, "index.txt")) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 4 and is_sha(parts[2]) and not is_sha(parts[3]):
                rows[parts[0]] = (parts[2], parts[3])  # file, blob, commit, path
            elif len(parts) >= 3:
                rows[parts[0]] = (parts[1], parts[2])  # file, commit, path[, blob]
    return rows


ORDER = [20, 1, 18, 4, 13, 6, 10, 15, 2, 17, 3, 19, 7, 16, 8, 11, 14, 9, 12, 5]


def turned(landmarks, anchor):
    """The solved landmarks with their sector numbers turned so that the number printed at the
    anchor's image point (NUMBER, X, Y) is the one nearest it: the solve's turn read from bed
    colours alone may be a few sectors off where its geometry is right."""
    number, x, y = anchor
    numbers = [l for l in landmarks if l[0] >= 2]
    near = min(numbers, key=lambda l: (l[1] - x) ** 2 + (l[2] - y) ** 2)
    turn = (near[0] - 2) - ORDER.index(number)
    return [[l[0] if l[0] < 2 else 2 + (l[0] - 2 - turn) % 20] + list(l[1:]) for l in landmarks]


def image_shift(reference, frame):
    """How far the frame's picture lies from the reference's (a still camera between frames),
    and how sure the correlation is of it."""
    a = cv2.imread(reference, cv2.IMREAD_GRAYSCALE).astype(np.float32)
    b = cv2.imread(frame, cv2.IMREAD_GRAYSCALE).astype(np.float32)
    if a.shape != b.shape:
        return None, 0.0
    (dx, dy), response = cv2.phaseCorrelate(a, b)
    return (dx, dy), response


def sheet(paths, out, cols=3, width=640):
    tiles = []
    for p in paths:
        im = cv2.imread(p)
        t = cv2.resize(im, (width, int(im.shape[0] * width / im.shape[1])))
        t = cv2.copyMakeBorder(t, 0, max(0, 480 - t.shape[0]), 0, 0, cv2.BORDER_CONSTANT)[:480]
        cv2.putText(t, os.path.basename(p)[-50:], (4, 16), 0, 0.45, (255, 0, 255), 1)
        tiles.append(t)
    while len(tiles) % cols:
        tiles.append(np.zeros_like(tiles[0]))
    cv2.imwrite(out, np.vstack([np.hstack(tiles[i:i + cols]) for i in range(0, len(tiles), cols)]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--sheets", required=True)
    ap.add_argument("--group", nargs="+", action="append", default=[])
    ap.add_argument("--views", help="JSON list of views: {folder, reference, split, solution (a measure --dump file) or "
                    "board_to_image, anchor [NUMBER, X, Y], frames (globs), every}")
    ap.add_argument("--repo-of", nargs=2, action="append", default=[], help="FOLDER OWNER/NAME")
    args = ap.parse_args()
    repos = dict(args.repo_of)
    tool = os.path.join(args.build, "tools/landmark_training/landmark_real")
    os.makedirs(args.sheets, exist_ok=True)
    labels = json.load(open(args.out)) if os.path.exists(args.out) else []
    done = {l["file"] for l in labels}
    if args.views:
        for view in json.load(open(args.views)):
            folder = view["folder"]
            index = index_of(args.data, folder)
            ref = os.path.join(folder, view["reference"])
            if "solution" in view:
                solved = {d["file"]: d for d in json.load(open(view["solution"]))}[ref]
                marks = turned(solved["landmarks"], view["anchor"]) if "anchor" in view else solved["landmarks"]
                ring = solved["ring_px"]
                how = "the shipped network's solved camera on {} (its lens included){}, checked on its overlay".format(
                    view["reference"], ", its numbers turned to the printed {} at {}".format(view["anchor"][0], view["anchor"][1:])
                    if "anchor" in view else "")
            else:
                h = np.array(view["board_to_image"], np.float64).reshape(3, 3)
                marks, ring = None, None
                how = "board fit on {} with a click on the 20, checked on its overlay".format(view["reference"])
            frames = sorted(set(f for g in view["frames"] for f in glob.glob(os.path.join(args.data, folder, g))))
            frames = frames[::view.get("every", 1)]
            if os.path.join(args.data, ref) not in frames:
                frames.append(os.path.join(args.data, ref))
            for path in frames:
                rel = os.path.relpath(path, args.data)
                if rel in done:
                    continue
                shift, response = image_shift(os.path.join(args.data, ref), path)
                if shift is None or response < 0.3 or np.hypot(*shift) > 2.0:
                    print("moved", rel, shift, round(response, 2))
                    continue
                commit, source_path = index[rel]
                label = {"file": rel, "repo": view["repo"], "path": source_path, "commit": commit, "split": view["split"],
                         "source": how + ("" if rel == ref else ", carried to this frame of the still camera by its image shift "
                                          "({:.2f}, {:.2f}) px".format(*shift))}
                dx, dy = shift
                if marks is not None:
                    label["landmarks"] = [[l[0], round(l[1] + dx, 2), round(l[2] + dy, 2), l[3], l[4]] for l in marks]
                    label["rings"] = [[[round(p[0] + dx, 2), round(p[1] + dy, 2)] for p in ring]]
                else:
                    moved = np.array([[1, 0, dx], [0, 1, dy], [0, 0, 1]]) @ h
                    label["board_to_image"] = (moved / moved[2, 2]).tolist()
                    a = np.radians(np.arange(72) * 5.0)
                    q = moved @ np.stack([170 * np.cos(a), 170 * np.sin(a), np.ones(72)])
                    label["rings"] = [np.round((q[:2] / q[2]).T, 2).tolist()]
                labels.append(label)
                done.add(rel)
            print(view["reference"], sum(l["file"].startswith(folder + "/") and view["reference"] in l["source"] for l in labels))
    for group in args.group:
        folder, split, cx, cy = group[0], group[1], group[2], group[3]
        index = index_of(args.data, folder)
        files = sorted(set(f for g in group[4:] for f in glob.glob(os.path.join(args.data, folder, g))))
        overlays = []
        for path in files:
            rel = os.path.relpath(path, args.data)
            if rel in done:
                continue
            overlay = os.path.join(args.sheets, rel.replace("/", "_")[:-4] + ".png")
            r = subprocess.run([tool, "fit", path, cx, cy, overlay], capture_output=True, text=True)
            if r.returncode != 0:
                print("no fit", rel, r.stdout.strip()[:120])
                continue
            fit = json.loads(r.stdout)
            commit, source_path = index[rel]
            labels.append({"file": rel, "repo": repos.get(folder, folder), "path": source_path, "commit": commit,
                           "split": split, "source": "board fit with a click on the 20, checked on its overlay",
                           "click_px": [float(cx), float(cy)], "fit_accepted": fit["accepted"],
                           "board_to_image": fit["board_to_image"], "rings": [fit["ring_px"]]})
            overlays.append(overlay)
            print("fit", rel, fit["accepted"], fit["rejection"], flush=True)
        for k in range(0, len(overlays), 9):
            sheet(overlays[k:k + 9], os.path.join(args.sheets, f"sheet_{folder}_{k // 9:03d}.png"))
    with open(args.out, "w") as f:
        json.dump(labels, f, indent=1)


if __name__ == "__main__":
    main()
