"""The board-landmark network: a small single-stage detector with an anchor-free grid head.

Input: 1 x 3 x 640 x 640, RGB scaled to 0..1 (the detector's letterbox and blob).
Output: 1 x (4 + 22) x N, N = (640 / 4)^2 cells; rows 0..3 box centre x, centre y, width and
height in input pixels, rows 4.. the sigmoid scores of the 22 classes (bull, wire crossing,
sector number at position 0..19).

Only plain operators reach the ONNX file (convolution with folded batch norm, ReLU, transposed
convolution, addition, sigmoid, multiplication by constants, concatenation, reshape) so that
OpenCV's own reader takes it.
"""
import torch
import torch.nn as nn

CLASSES = 22
STRIDE = 4
BOX_PX = 16.0  # every box is this square: the suppression merges centres closer than 2.8 px
OFFSET_LO, OFFSET_SPAN = -1.0, 3.0  # a cell's centre may lie from one cell before to two after
CROSSING_USED = 0.25  # the detector's camera solve takes crossings above this score
CROSSING_FLOOR = 0.55  # what a crossing must score in the network to reach CROSSING_USED


def conv(cin, cout, stride=1):
    return nn.Sequential(nn.Conv2d(cin, cout, 3, stride, 1, bias=False), nn.BatchNorm2d(cout), nn.ReLU(inplace=True))


def up(cin, cout):
    return nn.Sequential(nn.ConvTranspose2d(cin, cout, 2, 2, bias=False), nn.BatchNorm2d(cout), nn.ReLU(inplace=True))


class LandmarkNet(nn.Module):
    # Channels at strides 2, 4, 8, 16 and 32: few, because it trains on shared CPUs.
    WIDTHS = (12, 16, 32, 48, 64)

    def __init__(self):
        super().__init__()
        c2, c4, c8, c16, c32 = self.WIDTHS
        self.stem = conv(3, c2, 2)                                    # 1/2
        self.d4 = nn.Sequential(conv(c2, c4, 2), conv(c4, c4))        # 1/4
        self.d8 = nn.Sequential(conv(c4, c8, 2), conv(c8, c8))        # 1/8
        self.d16 = nn.Sequential(conv(c8, c16, 2), conv(c16, c16), conv(c16, c16))  # 1/16
        self.d32 = nn.Sequential(conv(c16, c32, 2), conv(c32, c32))   # 1/32
        self.u16 = up(c32, c16)
        self.m16 = conv(c16, c16)
        self.u8 = up(c16, c8)
        self.m8 = conv(c8, c8)
        self.u4 = up(c8, c4)
        self.m4 = conv(c4, 24)
        self.offset = nn.Conv2d(24, 2, 1)
        self.cls = nn.Conv2d(24, CLASSES, 1)
        nn.init.constant_(self.cls.bias, -4.6)  # start every score near 0.01

    def features(self, x):
        f4 = self.d4(self.stem(x))
        f8 = self.d8(f4)
        f16 = self.d16(f8)
        f32 = self.d32(f16)
        y = self.m16(self.u16(f32) + f16)
        y = self.m8(self.u8(y) + f8)
        return self.m4(self.u4(y) + f4)

    def forward(self, x):
        """Training output: offset logits (B, 2, H, W) and class logits (B, 22, H, W)."""
        f = self.features(x)
        return self.offset(f), self.cls(f)


def clamp01(x):
    return torch.relu(x) - torch.relu(x - 1.0)


class ExportNet(nn.Module):
    """The trained net with the decoding the detector expects, for one 640 x 640 input."""

    def __init__(self, net, size=640, crossing_floor=CROSSING_FLOOR):
        super().__init__()
        self.net = net
        self.floor = crossing_floor
        cells = size // STRIDE
        ys, xs = torch.meshgrid(torch.arange(cells, dtype=torch.float32), torch.arange(cells, dtype=torch.float32),
                                indexing="ij")
        grid = torch.stack([xs, ys])[None] * STRIDE + OFFSET_LO * STRIDE
        self.register_buffer("grid", grid)
        self.cells = cells

    def forward(self, x):
        off, cls = self.net(x)
        s = torch.sigmoid(off)
        xy = s * (OFFSET_SPAN * STRIDE) + self.grid
        box = s * 0.0 + BOX_PX  # a constant square, kept in the graph as plain arithmetic
        score = torch.sigmoid(cls)
        if self.floor > CROSSING_USED:
            # The detector uses crossings that score above CROSSING_USED; a crossing must score
            # `floor` here to get there: below it the solve gets more wrong crossings than right.
            k = (1.0 - CROSSING_USED) / (1.0 - self.floor)
            ramp = clamp01(CROSSING_USED + (score[:, 1:2] - self.floor) * k)
            score = torch.cat([score[:, :1], ramp, score[:, 2:]], 1)
        out = torch.cat([xy, box, score], 1)
        return out.reshape(1, 4 + CLASSES, self.cells * self.cells)
