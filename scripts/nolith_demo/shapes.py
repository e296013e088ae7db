"""The demo's own input: a ring with a hole cut in it, and points sampled on it.

The ring is a torus whose tube swells and narrows three times around the ring.
One window of its outer wall, centred on the plane z = 0, is cut away, so the
slice z = 0 crosses the hole and shows the fractional winding numbers that
leak out through it.
"""

import math

import numpy as np

F32 = np.float32


def _wrap(angle):
    """Angle difference folded into [-pi, pi)."""
    return (angle + math.pi) % (2 * math.pi) - math.pi


def ring_grid(nu, nv, ring_radius=0.62, tube_radius=0.2, swell=0.06):
    """Closed, outward-oriented torus: (nu*nv, 3) vertices and (2*nu*nv, 3) faces.

    Returns also the (phi, theta) angles of each face's centre, row i*nv+j of
    the grid giving faces 2*(i*nv+j) and 2*(i*nv+j)+1.
    """
    phi = np.arange(nu) * (2 * math.pi / nu)
    theta = np.arange(nv) * (2 * math.pi / nv)
    p, t = np.meshgrid(phi, theta, indexing="ij")
    tube = tube_radius + swell * np.cos(3 * p)
    reach = ring_radius + tube * np.cos(t)
    verts = np.stack([reach * np.cos(p), reach * np.sin(p), tube * np.sin(t)], -1).reshape(-1, 3)

    i, j = np.meshgrid(np.arange(nu), np.arange(nv), indexing="ij")
    i2, j2 = (i + 1) % nu, (j + 1) % nv
    a, b, c, d = i * nv + j, i2 * nv + j, i2 * nv + j2, i * nv + j2
    # (a, b, c) turns from +phi to +theta: its normal points out of the tube.
    faces = np.stack([np.stack([a, b, c], -1), np.stack([a, c, d], -1)], axis=2).reshape(-1, 3)
    centre_phi = np.repeat(((i + 0.5) * (2 * math.pi / nu)).ravel(), 2)
    centre_theta = np.repeat(((j + 0.5) * (2 * math.pi / nv)).ravel(), 2)
    return verts.astype(F32), faces.astype(np.uint32), centre_phi, centre_theta


def holed_ring(nu=96, nv=32, hole_phi=0.42, hole_theta=1.1):
    """The default mesh: the ring with a window of its outer wall removed.

    The window spans |phi| < hole_phi around the +x direction and
    |theta| < hole_theta around the outer equator (z = 0). Unused vertices are
    dropped, so every vertex belongs to a face.
    """
    verts, faces, phi, theta = ring_grid(nu, nv)
    cut = (np.abs(_wrap(phi)) < hole_phi) & (np.abs(_wrap(theta)) < hole_theta)
    return compact(verts, faces[~cut])


def compact(verts, faces):
    """Drops vertices no face uses and renumbers the faces."""
    used, new_faces = np.unique(faces, return_inverse=True)
    return verts[used], new_faces.reshape(faces.shape).astype(np.uint32)


def face_areas_and_normals(verts, faces):
    """Areas (N,) and unit normals (N, 3) of the faces, in float64."""
    t = np.asarray(verts, np.float64)[faces]
    cross = np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
    double_area = np.linalg.norm(cross, axis=1)
    unit = cross / np.where(double_area > 0, double_area, 1.0)[:, None]
    return double_area / 2, unit


def sample_surface(verts, faces, n, seed=0):
    """n points spread evenly over the surface, with area-scaled normals.

    Faces are picked by systematic sampling of the cumulative area (one point
    per equal-area stratum, so no clumps); the point lies at a random spot of
    its face. Each normal is the face's unit normal times total area / n, so
    the point cloud carries the same area as the mesh.
    """
    rng = np.random.default_rng(seed)
    area, unit = face_areas_and_normals(verts, faces)
    total = area.sum()
    if n <= 0 or total <= 0:
        raise ValueError("cannot sample points from a surface without area")
    stops = (np.arange(n) + rng.random(n)) * (total / n)
    pick = np.minimum(np.searchsorted(np.cumsum(area), stops), len(faces) - 1)
    u, v = rng.random(n), rng.random(n)
    outside = u + v > 1
    u[outside], v[outside] = 1 - u[outside], 1 - v[outside]
    t = np.asarray(verts, np.float64)[faces[pick]]
    points = t[:, 0] + u[:, None] * (t[:, 1] - t[:, 0]) + v[:, None] * (t[:, 2] - t[:, 0])
    return points.astype(F32), (unit[pick] * (total / n)).astype(F32)


def edge_report(faces):
    """Counts of the mesh's edges by how many faces share them.

    Returns a dict: `edges` (distinct undirected edges), `boundary` (edges of
    one face), `nonmanifold` (edges of three or more faces), `flipped` (edges
    two faces walk in the same direction: inconsistent orientation) and
    `loops` (connected pieces of the boundary).
    """
    faces = np.asarray(faces, np.int64)
    directed = np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]])
    undirected = np.sort(directed, axis=1)
    edges, counts = np.unique(undirected, axis=0, return_counts=True)
    _, directed_counts = np.unique(directed, axis=0, return_counts=True)
    boundary = edges[counts == 1]
    return {
        "edges": len(edges),
        "boundary": len(boundary),
        "nonmanifold": int(np.count_nonzero(counts > 2)),
        "flipped": int(np.count_nonzero(directed_counts > 1)),
        "loops": _count_pieces(boundary),
    }


def _count_pieces(edges):
    """Connected components of the graph spanned by the given edges."""
    if len(edges) == 0:
        return 0
    nodes, flat = np.unique(edges, return_inverse=True)
    parent = np.arange(len(nodes))

    def root(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for a, b in flat.reshape(-1, 2):
        ra, rb = root(a), root(b)
        if ra != rb:
            parent[ra] = rb
    return len({root(x) for x in range(len(nodes))})
