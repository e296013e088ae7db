"""Meshes and point sets from Debian's libcgal-demo data, for the tests.

The package ships its data as one archive, data.tar.gz, under
/usr/share/doc/libcgal-demo (`apt-get install libcgal-demo`). Members are read
straight from the archive; nothing is unpacked. `archive()` is None when the
package is missing, and the tests that need it skip.

Readers:
- OFF: vertices and polygons (fanned into triangles; colours after the
  indices and `#` comments are ignored).
- .xyz / .pwn: one point per line, `x y z nx ny nz` (unit normals).
"""

import functools
import os
import tarfile

import numpy as np

ARCHIVES = (
    "/usr/share/doc/libcgal-demo/data.tar.gz",
    "/usr/share/doc/libcgal-dev/data.tar.gz",  # the same archive, shipped by the -dev package
)


def archive():
    """Path of the data archive, or None when the package is not installed."""
    return next((path for path in ARCHIVES if os.path.isfile(path)), None)


@functools.lru_cache(maxsize=None)
def read_member(member):
    """Text of one member of the archive, e.g. "data/meshes/elephant.off"."""
    path = archive()
    if path is None:
        raise FileNotFoundError("libcgal-demo data archive not found")
    with tarfile.open(path, "r:gz") as tar:
        handle = tar.extractfile(member)
        if handle is None:
            raise FileNotFoundError(f"{member} is not a file in {path}")
        return handle.read().decode("latin-1")


def parse_off(text):
    """(vertices (M,3) float32, triangles (N,3) uint32) of OFF text."""
    lines = [line.split("#", 1)[0].split() for line in text.splitlines()]
    lines = [words for words in lines if words]
    if not lines or not lines[0][0].endswith("OFF"):
        raise ValueError("not an OFF file: the first word must be OFF")
    header = lines[0][1:]  # counts may follow the keyword on the same line
    body = lines[1:]
    if not header:
        header, body = body[0], body[1:]
    nv, nf = int(header[0]), int(header[1])
    if len(body) < nv + nf:
        raise ValueError(f"OFF file ends early: {nv} vertices and {nf} faces announced")
    vertices = np.array([[float(x) for x in words[:3]] for words in body[:nv]], np.float32)
    triangles = []
    for words in body[nv:nv + nf]:
        k = int(words[0])
        corners = [int(x) for x in words[1:1 + k]]
        if k < 3 or len(corners) != k:
            raise ValueError(f"bad face line: {' '.join(words)}")
        triangles += [(corners[0], corners[i], corners[i + 1]) for i in range(1, k - 1)]
    triangles = np.array(triangles, np.uint32).reshape(-1, 3)
    if triangles.size and triangles.max() >= nv:
        raise ValueError("face index beyond the vertex count")
    return vertices, triangles


def parse_points_with_normals(text):
    """(points (N,3) float32, unit normals (N,3) float32) of .xyz/.pwn text."""
    rows = [line.split("#", 1)[0].split() for line in text.splitlines()]
    rows = [words for words in rows if words]
    if any(len(words) < 6 for words in rows):
        raise ValueError("every line needs x y z nx ny nz")
    data = np.array([[float(x) for x in words[:6]] for words in rows], np.float64)
    normals = data[:, 3:]
    normals /= np.linalg.norm(normals, axis=1, keepdims=True)
    return data[:, :3].astype(np.float32), normals.astype(np.float32)


def load_off(member):
    return parse_off(read_member(member))


def load_points(member):
    return parse_points_with_normals(read_member(member))


def boundary_edge_count(triangles):
    """Directed edges without their reverse: 0 for a closed, consistently oriented mesh."""
    t = np.asarray(triangles, np.int64)
    edges = np.concatenate([t[:, [0, 1]], t[:, [1, 2]], t[:, [2, 0]]])
    n = int(t.max()) + 1 if t.size else 0
    forward = set((edges[:, 0] * n + edges[:, 1]).tolist())
    backward = (edges[:, 1] * n + edges[:, 0]).tolist()
    return sum(1 for key in backward if key not in forward)
