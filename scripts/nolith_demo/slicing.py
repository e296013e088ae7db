"""The slice: a grid of query points on an axis-aligned plane, and the outline
of a surface (or the points of a cloud) where the plane cuts it."""

from dataclasses import dataclass

import numpy as np

F32 = np.float32
AXES = "xyz"


@dataclass
class Slice:
    axis: int  # index of the plane's normal axis
    offset: float  # the plane is coordinate[axis] == offset
    u_range: tuple  # (lo, hi) of the first in-plane axis
    v_range: tuple
    shape: tuple  # (rows along v, columns along u)

    @property
    def in_plane(self):
        return [a for a in range(3) if a != self.axis]

    @property
    def title(self):
        return f"{AXES[self.axis]} = {self.offset:.3g}"

    def axis_names(self):
        u, v = self.in_plane
        return AXES[u], AXES[v]

    def points(self):
        """(rows*cols, 3) float32 query points, row-major from v_lo to v_hi."""
        rows, cols = self.shape
        u = np.linspace(*self.u_range, cols)
        v = np.linspace(*self.v_range, rows)
        uu, vv = np.meshgrid(u, v)
        out = np.empty((rows * cols, 3), F32)
        a, b = self.in_plane
        out[:, a], out[:, b] = uu.ravel(), vv.ravel()
        out[:, self.axis] = self.offset
        return out

    def extent(self):
        return (*self.u_range, *self.v_range)


def choose_slice(corners, resolution, axis=None, offset=None, margin=0.15):
    """A slice through the middle of the bounding box of `corners`.

    Without an axis, the plane is normal to the box's shortest side, so it
    spans the two longest ones. The grid has `resolution` cells along the
    longer in-plane side and square cells.
    """
    lo, hi = corners.min(axis=0).astype(float), corners.max(axis=0).astype(float)
    size = hi - lo
    axis = int(np.argmin(size)) if axis is None else axis
    offset = float((lo[axis] + hi[axis]) / 2) if offset is None else offset
    u, v = [a for a in range(3) if a != axis]
    pad = margin * max(size[u], size[v], 1e-6)
    u_range = (lo[u] - pad, hi[u] + pad)
    v_range = (lo[v] - pad, hi[v] + pad)
    step = max(u_range[1] - u_range[0], v_range[1] - v_range[0]) / resolution
    cols = max(2, round((u_range[1] - u_range[0]) / step))
    rows = max(2, round((v_range[1] - v_range[0]) / step))
    return Slice(axis, offset, u_range, v_range, (rows, cols))


def outline(vertices, faces, plane):
    """Segments (S, 2, 2) where the plane cuts the triangles, in (u, v) coordinates."""
    t = np.asarray(vertices, np.float64)[np.asarray(faces, np.int64)]
    d = t[:, :, plane.axis] - plane.offset
    side = d > 0
    crossing = side.any(axis=1) & ~side.all(axis=1)
    t, d, side = t[crossing], d[crossing], side[crossing]
    # The lone vertex is the one on the side the other two are not.
    lone = np.where(side.sum(axis=1) == 1, np.argmax(side, axis=1), np.argmin(side, axis=1))
    rows = np.arange(len(t))
    ends = []
    for step in (1, 2):
        other = (lone + step) % 3
        a, b = t[rows, lone], t[rows, other]
        da, db = d[rows, lone], d[rows, other]
        s = (da / (da - db))[:, None]
        ends.append(a + s * (b - a))
    seg = np.stack(ends, axis=1)
    return seg[:, :, plane.in_plane]


def points_near(points, plane, thickness):
    """(K, 2) in-plane coordinates of the points within thickness of the plane."""
    points = np.asarray(points)
    near = np.abs(points[:, plane.axis] - plane.offset) <= thickness
    return points[near][:, plane.in_plane]
