"""Inputs of the demo and the benchmarks: meshes and oriented point clouds.

Meshes (OBJ, OFF, PLY, STL) are read through trimesh; point clouds with
normals are read from text (.xyz, .pwn: x y z nx ny nz per line), from PLY
files without faces, or from .npz files (`points`, `normals`, optional
`areas`). Everything that can go wrong with a file ends in an InputError,
whose message fits on one line.
"""

import math
import os
import warnings
from dataclasses import dataclass, field

import numpy as np

from . import shapes

F32 = np.float32
MESH_SUFFIXES = (".obj", ".off", ".ply", ".stl")
CLOUD_SUFFIXES = (".xyz", ".pwn", ".npz")


class InputError(Exception):
    """A problem with the user's input, told in one line."""


@dataclass
class Mesh:
    name: str
    vertices: np.ndarray  # (M, 3) float32
    faces: np.ndarray  # (N, 3) uint32
    notes: list = field(default_factory=list)
    kind = "triangle mesh"

    @property
    def size(self):
        return len(self.faces)

    @property
    def corners(self):
        return self.vertices

    def arrays(self):
        return self.vertices, self.faces

    def scaled(self, centre, scale):
        return Mesh(self.name, ((self.vertices - centre) * scale).astype(F32), self.faces, self.notes)


@dataclass
class PointCloud:
    name: str
    points: np.ndarray  # (N, 3) float32
    normals: np.ndarray  # (N, 3) float32, length = the point's area
    notes: list = field(default_factory=list)
    kind = "point cloud"

    @property
    def size(self):
        return len(self.points)

    @property
    def corners(self):
        return self.points

    def arrays(self):
        return self.points, self.normals

    def scaled(self, centre, scale):
        # Areas grow with the square of lengths.
        return PointCloud(self.name, ((self.points - centre) * scale).astype(F32),
                          (self.normals * scale**2).astype(F32), self.notes)


def default_inputs(large=False, points=None):
    """The generated ring with a hole, and a point cloud sampled from it.

    Small enough for the host flavour on a small CPU, or (large) a real load
    for a GPU; `points` overrides the size of the cloud.
    """
    nu, nv, n = (512, 160, 200_000) if large else (96, 32, 8_000)
    verts, faces = shapes.holed_ring(nu, nv)
    mesh = Mesh("generated ring with a hole", verts, faces)
    mesh.notes.append(describe_edges(faces))
    cloud = PointCloud("points sampled from it", *shapes.sample_surface(verts, faces, points or n))
    return mesh, cloud


def normalise(geometries):
    """Moves the inputs' joint bounding box to the origin, largest half-side 1."""
    corners = np.concatenate([g.corners for g in geometries])
    lo, hi = corners.min(axis=0), corners.max(axis=0)
    half = float((hi - lo).max()) / 2
    centre = ((lo + hi) / 2).astype(F32)
    scale = F32(1.0 / half) if half > 0 else F32(1.0)
    return [g.scaled(centre, scale) for g in geometries]


def load(path):
    """Reads a mesh or an oriented point cloud; raises InputError on bad input."""
    if not os.path.exists(path):
        raise InputError(f"{path}: no such file")
    if os.path.isdir(path):
        raise InputError(f"{path}: is a directory, not a mesh or point cloud file")
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in MESH_SUFFIXES + CLOUD_SUFFIXES:
        raise InputError(
            f"{path}: unsupported file type '{suffix}' (meshes: {' '.join(MESH_SUFFIXES)}; "
            f"point clouds with normals: .xyz .pwn .npz .ply)")
    try:
        if suffix in (".xyz", ".pwn"):
            return _cloud(path, *_read_columns(path))
        if suffix == ".npz":
            return _read_npz(path)
        return _read_with_trimesh(path)
    except InputError:
        raise
    except (OSError, ValueError, KeyError, IndexError, TypeError, AttributeError, UnicodeError) as exc:
        raise InputError(f"{path}: cannot read it ({one_line(exc)})") from None


def one_line(exc):
    text = " ".join(str(exc).split()) or type(exc).__name__
    return text if len(text) <= 160 else text[:157] + "..."


def _read_columns(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # an empty file is reported below, once
        data = np.loadtxt(path, ndmin=2, comments="#")
    if data.size == 0:
        raise InputError(f"{path}: the file holds no points")
    if data.shape[1] < 6:
        raise InputError(f"{path}: needs 6 columns per line (x y z nx ny nz), found {data.shape[1]}")
    return data[:, :3], data[:, 3:6], None


def _read_npz(path):
    with np.load(path) as data:
        if "points" not in data or "normals" not in data:
            raise InputError(f"{path}: an .npz point cloud needs arrays 'points' and 'normals'")
        return _cloud(path, data["points"], data["normals"], data.get("areas"))


def _read_with_trimesh(path):
    try:
        import trimesh
    except ImportError:
        raise InputError("reading meshes needs trimesh (scripts/demo installs it)") from None
    try:
        loaded = trimesh.load(path, process=False)
    except Exception as exc:  # parsers fail in many ways on a damaged file
        raise InputError(f"{path}: cannot read it ({one_line(exc)})") from None
    if isinstance(loaded, trimesh.Scene):
        parts = [g for g in loaded.dump() if isinstance(g, trimesh.Trimesh)] if loaded.geometry else []
        if not parts:
            clouds = [g for g in loaded.geometry.values() if isinstance(g, trimesh.PointCloud)]
            if len(clouds) == 1:
                loaded = clouds[0]
            else:
                raise InputError(f"{path}: the file holds no triangles")
        else:
            loaded = trimesh.util.concatenate(parts)
    if isinstance(loaded, trimesh.PointCloud):
        raw = loaded.metadata.get("_ply_raw", {}).get("vertex", {}).get("data")
        names = getattr(getattr(raw, "dtype", None), "names", None) or ()
        if not {"nx", "ny", "nz"} <= set(names):
            raise InputError(f"{path}: a point cloud without normals (needs nx ny nz per vertex)")
        normals = np.stack([raw["nx"], raw["ny"], raw["nz"]], -1)
        return _cloud(path, np.asarray(loaded.vertices), normals, None)
    if not isinstance(loaded, trimesh.Trimesh):
        raise InputError(f"{path}: holds a {type(loaded).__name__}, not a triangle mesh")
    return mesh_from_arrays(path, np.asarray(loaded.vertices), np.asarray(loaded.faces))


def mesh_from_arrays(path, vertices, faces):
    """A checked Mesh from arrays read from `path`; shared corners are merged."""
    if len(faces) == 0 or len(vertices) == 0:
        raise InputError(f"{path}: the mesh is empty (no triangles)")
    faces = np.asarray(faces, np.int64)
    vertices = np.asarray(vertices, np.float64)
    if faces.ndim != 2 or faces.shape[1] != 3:
        raise InputError(f"{path}: faces must be triangles")
    if faces.min() < 0 or faces.max() >= len(vertices):
        raise InputError(f"{path}: a face refers to a vertex that does not exist")
    if not np.all(np.isfinite(vertices)):
        raise InputError(f"{path}: some vertex coordinates are not finite numbers")
    area, _ = shapes.face_areas_and_normals(vertices, faces)
    if not area.sum() > 0:
        raise InputError(f"{path}: every triangle has zero area")
    # Files that store one vertex per corner (STL) share nothing until merged.
    unique, inverse = np.unique(vertices, axis=0, return_inverse=True)
    faces = inverse.reshape(-1)[faces]
    mesh = Mesh(os.path.basename(path), unique.astype(F32), faces.astype(np.uint32))
    mesh.notes.append(describe_edges(mesh.faces))
    return mesh


def describe_edges(faces):
    """One line about the surface: closed, open, non-manifold, mis-oriented."""
    report = shapes.edge_report(faces)
    parts = []
    if report["boundary"]:
        parts.append(f"open: {report['boundary']:,} boundary edges in {report['loops']:,} loop(s)")
    if report["nonmanifold"]:
        parts.append(f"non-manifold: {report['nonmanifold']:,} edges shared by 3+ triangles")
    if report["flipped"]:
        parts.append(f"{report['flipped']:,} edges between inconsistently oriented triangles")
    if not parts:
        return "closed, consistently oriented surface"
    return "; ".join(parts) + " (winding numbers are generalized: fractional values expected)"


def _cloud(path, points, normals, areas):
    points = np.asarray(points, np.float64)
    normals = np.asarray(normals, np.float64)
    if len(points) == 0:
        raise InputError(f"{path}: the file holds no points")
    if points.shape != normals.shape or points.shape[1:] != (3,):
        raise InputError(f"{path}: points and normals must both be (N, 3)")
    if not (np.all(np.isfinite(points)) and np.all(np.isfinite(normals))):
        raise InputError(f"{path}: some coordinates or normals are not finite numbers")
    length = np.linalg.norm(normals, axis=1)
    if not np.any(length > 0):
        raise InputError(f"{path}: every normal is zero")
    cloud = PointCloud(os.path.basename(path), points.astype(F32), normals.astype(F32))
    if areas is None:
        areas = estimate_areas(points)
        cloud.notes.append("point areas estimated from the spacing of the 8 nearest neighbours")
    unit = normals / np.where(length > 0, length, 1.0)[:, None]
    cloud.normals = (unit * np.asarray(areas, np.float64).reshape(-1, 1)).astype(F32)
    return cloud


def estimate_areas(points, k=8):
    """Surface area around each point: pi r^2 / k, r the distance to the k-th neighbour."""
    points = np.asarray(points, np.float64)
    k = min(k, len(points) - 1)
    if k < 1:
        return np.ones(len(points))
    try:
        from scipy.spatial import cKDTree

        dist, _ = cKDTree(points).query(points, k + 1)
        radius = dist[:, -1]
    except ImportError:
        if len(points) > 60_000:
            raise InputError("estimating point areas of a large cloud needs scipy (pip install scipy)")
        radius = np.empty(len(points))
        sq = np.einsum("ij,ij->i", points, points)
        for start in range(0, len(points), 512):
            block = points[start:start + 512]
            d2 = sq[start:start + 512, None] - 2 * block @ points.T + sq[None]
            radius[start:start + 512] = np.sqrt(np.maximum(np.partition(d2, k, axis=1)[:, k], 0))
    positive = radius[radius > 0]
    fallback = positive.mean() if positive.size else 1.0
    radius = np.where(radius > 0, radius, fallback)
    return math.pi * radius**2 / k


def read_off(path):
    """A mesh from an OFF file without trimesh (polygons become triangle fans)."""
    with open(path) as stream:
        tokens = [line.split("#", 1)[0].split() for line in stream]
    tokens = [t for t in tokens if t]
    if not tokens or not tokens[0][0].endswith("OFF"):
        raise InputError(f"{path}: not an OFF file")
    head = tokens[0][1:] or tokens[1]
    rest = tokens[1:] if tokens[0][1:] else tokens[2:]
    n_vertices, n_faces = int(head[0]), int(head[1])
    if len(rest) < n_vertices + n_faces:
        raise InputError(f"{path}: the file ends early")
    vertices = np.array([row[:3] for row in rest[:n_vertices]], np.float64).reshape(-1, 3)
    faces = []
    for row in rest[n_vertices:n_vertices + n_faces]:
        corners = [int(x) for x in row[1:1 + int(row[0])]]
        faces += [(corners[0], corners[k], corners[k + 1]) for k in range(1, len(corners) - 1)]
    return mesh_from_arrays(path, vertices, np.array(faces, np.int64).reshape(-1, 3))
