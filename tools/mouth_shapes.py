"""The seven mouth shapes the motion model speaks in, as keypoint offsets,
and the measures of a mouth the evaluation reads (numpy only: the shipped
model is checked without PyTorch)."""

import numpy as np

KP_ROWS = 21
SHAPES = ["closed", "lip_on_teeth", "rounded", "open", "spread", "tongue_teeth", "rest"]


def basis():
    """[7, 63]: each shape's keypoint offsets from lips at rest, closed.

    Rows 13 and 17 are the mouth corners (person's left, right), 14..16 the
    lower lip, 18..20 the upper lip, 11 the chin and 10, 12 the jaw beside
    the mouth; y grows downwards. In the astronaut's keypoint units (box
    halves; her mouth is 0.55 wide): "open" drops the lower lip by a third
    of the mouth's width."""
    # lower lip y, upper lip y, each corner inwards, corners y, chin y
    table = {
        "closed":       (-0.02, 0.013, 0.0, 0.0, 0.0),
        "lip_on_teeth": (-0.006, -0.035, 0.0, 0.0, 0.016),
        "rounded":      (0.07, -0.024, 0.055, 0.016, 0.048),
        "open":         (0.175, -0.048, 0.008, 0.048, 0.144),
        "spread":       (0.056, -0.024, -0.035, 0.0, 0.032),
        "tongue_teeth": (0.07, -0.024, 0.0, 0.016, 0.048),
        "rest":         (0.006, 0.0, 0.0, 0.0, 0.0),
    }
    b = np.zeros((len(SHAPES), KP_ROWS, 3), np.float32)
    for i, name in enumerate(SHAPES):
        lower, upper, inwards, corner_y, chin = table[name]
        b[i, 15, 1], b[i, [14, 16], 1] = lower, 0.7 * lower
        b[i, 19, 1], b[i, [18, 20], 1] = upper, 0.7 * upper
        b[i, 13, 0], b[i, 17, 0] = -inwards, inwards
        b[i, [13, 17], 1] = corner_y
        b[i, 11, 1], b[i, [10, 12], 1] = chin, 0.5 * chin
    return b.reshape(len(SHAPES), -1)


def opening(m):
    """Lower lip centre below upper lip centre, from keypoint offsets [.., 63]."""
    m = np.asarray(m).reshape(-1, KP_ROWS, 3)
    return m[:, [14, 15, 16], 1].mean(1) - m[:, [18, 19, 20], 1].mean(1)


def widening(m):
    m = np.asarray(m).reshape(-1, KP_ROWS, 3)
    return m[:, 13, 0] - m[:, 17, 0]
