"""Exact (brute-force) winding numbers of NolithEngine.

Values are checked against an independent float64 NumPy evaluation, against
shapes whose answer is known in closed form, and at the edge cases of the
triangle and point kernels. The engine works in float32 with fast approximate
math, so comparisons use tolerances scaled by the size of what is summed.
"""

import math

import numpy as np
import pytest

import nolith_module

Engine = nolith_module.NolithEngine
F32 = np.float32
DEFAULT_EPS = 1.0 / 250.0


def default_eps(points):
    """What a negative epsilon means for a cloud: 0.004 times half its longest side."""
    return DEFAULT_EPS * 0.5 * float(np.ptp(np.asarray(points, F32), 0).max())


# ------------------------------------------------------------ float64 reference


def ref_triangles(tris, queries):
    """(Q, N) per-element solid-angle fractions of (N,3,3) triangles."""
    tris = np.asarray(tris, np.float64)
    q = np.asarray(queries, np.float64)[:, None, :]
    a, b, c = tris[None, :, 0] - q, tris[None, :, 1] - q, tris[None, :, 2] - q
    la, lb, lc = (np.linalg.norm(v, axis=-1) for v in (a, b, c))
    det = np.einsum("qnk,qnk->qn", a, np.cross(b, c))
    dot = lambda u, v: np.einsum("qnk,qnk->qn", u, v)  # noqa: E731
    product = la * lb * lc
    den = product + dot(a, b) * lc + dot(a, c) * lb + dot(b, c) * la
    out = np.arctan2(det, den) / (2 * math.pi)
    # A query in the triangle's plane, next to it, sees no solid angle.
    return np.where((den <= product) & (np.abs(det) <= 1e-12 * product), 0.0, out)


def ref_points(points, normals, queries, eps=DEFAULT_EPS):
    """(Q, N) per-element regularised dipole contributions."""
    p = np.asarray(points, np.float64)[None]
    n = np.asarray(normals, np.float64)[None]
    d = p - np.asarray(queries, np.float64)[:, None, :]
    r2 = np.einsum("qnk,qnk->qn", d, d)
    r = np.sqrt(r2)
    safe_r = np.where(r2 == 0, 1.0, r)
    k = 1.0 / safe_r**3
    if eps > 0:
        x = r / eps
        erf = np.vectorize(math.erf)(x)
        mid = (erf - 2 / math.sqrt(math.pi) * x * np.exp(-x * x)) / safe_r**3
        k = np.where(x >= 2, k, np.where(x < 0.1, 4 / (3 * math.sqrt(math.pi) * eps**3), mid))
    k = np.where(r2 == 0, 0.0, k)
    return k * np.einsum("qnk,qnk->qn", d, n) / (4 * math.pi)


# ------------------------------------------------------------------ geometry


def cube_mesh(h=1.0):
    v = np.array([[x, y, z] for x in (-h, h) for y in (-h, h) for z in (-h, h)], F32)
    quads = [(0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4), (1, 5, 7, 3)]
    idx = []
    for a, b, c, d in quads:
        idx += [(a, b, c), (a, c, d)]
    return v, orient_outward(v, np.array(idx, np.uint32))


def orient_outward(v, idx):
    """Flips triangles of a star-shaped (about the origin) surface outward."""
    t = v[idx].astype(np.float64)
    normal = np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
    flip = np.einsum("nk,nk->n", normal, t.mean(axis=1)) < 0
    idx = idx.copy()
    idx[flip] = idx[flip][:, [0, 2, 1]]
    return idx


def icosphere(levels=2, radius=1.0):
    g = (1 + math.sqrt(5)) / 2
    v = [(-1, g, 0), (1, g, 0), (-1, -g, 0), (1, -g, 0), (0, -1, g), (0, 1, g),
         (0, -1, -g), (0, 1, -g), (g, 0, -1), (g, 0, 1), (-g, 0, -1), (-g, 0, 1)]
    v = [np.array(p, np.float64) / np.linalg.norm(p) for p in v]
    faces = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4),
             (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8),
             (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    for _ in range(levels):
        cache, new = {}, []

        def mid(i, j):
            key = (min(i, j), max(i, j))
            if key not in cache:
                m = v[i] + v[j]
                v.append(m / np.linalg.norm(m))
                cache[key] = len(v) - 1
            return cache[key]

        for a, b, c in faces:
            ab, bc, ca = mid(a, b), mid(b, c), mid(c, a)
            new += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        faces = new
    verts = (np.array(v) * radius).astype(F32)
    return verts, orient_outward(verts, np.array(faces, np.uint32))


def torus(major=1.0, minor=0.3, nu=40, nv=20):
    u = np.arange(nu) * 2 * math.pi / nu
    w = np.arange(nv) * 2 * math.pi / nv
    uu, ww = np.meshgrid(u, w, indexing="ij")
    ring = major + minor * np.cos(ww)
    verts = np.stack([ring * np.cos(uu), ring * np.sin(uu), minor * np.sin(ww)], -1)
    idx = []
    for i in range(nu):
        for j in range(nv):
            a, b = i * nv + j, ((i + 1) % nu) * nv + j
            c, d = ((i + 1) % nu) * nv + (j + 1) % nv, i * nv + (j + 1) % nv
            idx += [(a, b, c), (a, c, d)]
    verts = verts.reshape(-1, 3).astype(F32)
    idx = np.array(idx, np.uint32)
    # Orient by the tube: the normal must point away from the tube's core circle.
    t = verts[idx].astype(np.float64)
    centre = t.mean(axis=1)
    core = centre.copy()
    core[:, 2] = 0
    core *= major / np.linalg.norm(core, axis=1, keepdims=True)
    normal = np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
    flip = np.einsum("nk,nk->n", normal, centre - core) < 0
    idx[flip] = idx[flip][:, [0, 2, 1]]
    return verts, idx


def hemisphere(rings=8, segments=24):
    """Upper unit hemisphere, open along the equator z = 0, outward normals."""
    verts = [(0.0, 0.0, 1.0)]
    for i in range(1, rings + 1):
        th = i * (math.pi / 2) / rings
        verts += [(math.sin(th) * math.cos(p), math.sin(th) * math.sin(p), math.cos(th))
                  for p in np.arange(segments) * 2 * math.pi / segments]
    ring = lambda i, j: 1 + (i - 1) * segments + j % segments  # noqa: E731
    idx = [(0, ring(1, j), ring(1, j + 1)) for j in range(segments)]
    for i in range(1, rings):
        for j in range(segments):
            idx += [(ring(i, j), ring(i + 1, j), ring(i + 1, j + 1)),
                    (ring(i, j), ring(i + 1, j + 1), ring(i, j + 1))]
    verts = np.array(verts, F32)
    verts[-segments:, 2] = 0  # the rim lies exactly in the plane of the centre
    return verts, orient_outward(verts, np.array(idx, np.uint32))


def fibonacci_sphere(n, radius=1.0):
    i = np.arange(n) + 0.5
    z = 1 - 2 * i / n
    phi = math.pi * (1 + math.sqrt(5)) * i
    s = np.sqrt(1 - z * z)
    unit = np.stack([s * np.cos(phi), s * np.sin(phi), z], -1)
    return (unit * radius).astype(F32), (unit * 4 * math.pi * radius**2 / n).astype(F32)


def random_directions(rng, n):
    d = rng.normal(size=(n, 3))
    return d / np.linalg.norm(d, axis=1, keepdims=True)


# ------------------------------------------------------------------- helpers


def run(dev, engine, queries, epsilon=None):
    q = dev.array(np.asarray(queries, F32).reshape(-1, 3))
    out = engine.brute_force(q) if epsilon is None else engine.brute_force(q, epsilon)
    return dev.numpy(out)


def soup_engine(dev, tris):
    return Engine(dev.array(np.asarray(tris, F32)))


def mesh_engine(dev, verts, idx):
    return Engine(dev.array(np.asarray(verts, F32)), dev.array(np.asarray(idx, np.uint32)))


def point_engine(dev, pts, nrm):
    return Engine(dev.array(np.asarray(pts, F32)), dev.array(np.asarray(nrm, F32)))


def assert_close_to_reference(got, contributions, rel=2e-5, floor=1e-5):
    """Error bound of a float32 sum: proportional to the sum of magnitudes."""
    expected = contributions.sum(axis=1)
    bound = rel * np.abs(contributions).sum(axis=1) + floor
    err = np.abs(got.astype(np.float64) - expected)
    worst = int(np.argmax(err - bound))
    assert got.shape == expected.shape
    assert np.all(err <= bound), (
        f"query {worst}: got {got[worst]}, expected {expected[worst]}, bound {bound[worst]}"
    )


# ------------------------------------------------- random inputs vs reference

SIZES = [1, 31, 33, 100, 257, 1000]
Q_RANDOM = 517


def random_case(kind, n, rng):
    """A ("soup"|"mesh"|"points", *float32 arrays) tuple of random geometry."""
    if kind == "soup":
        centres = rng.uniform(-1, 1, (n, 1, 3))
        tris = (centres + rng.uniform(-0.3, 0.3, (n, 3, 3))).astype(F32)
        return ("soup", tris)
    if kind == "mesh":
        verts = rng.uniform(-1, 1, (max(3, n // 2 + 3), 3)).astype(F32)
        idx = np.array([rng.choice(len(verts), 3, replace=False) for _ in range(n)], np.uint32)
        return ("mesh", verts, idx)
    pts = rng.uniform(-1, 1, (n, 3)).astype(F32)
    nrm = (random_directions(rng, n) * rng.uniform(0.1, 1.0, (n, 1)) * 4 / n).astype(F32)
    return ("points", pts, nrm)


def build(dev, case):
    kind, *data = case
    return {"soup": soup_engine, "mesh": mesh_engine, "points": point_engine}[kind](dev, *data)


def reference(case, queries, eps=DEFAULT_EPS):
    kind, *data = case
    if kind == "soup":
        return ref_triangles(data[0], queries)
    if kind == "mesh":
        return ref_triangles(data[0][data[1]], queries)
    return ref_points(data[0], data[1], queries, eps)


@pytest.mark.parametrize("kind", ["soup", "mesh", "points"])
@pytest.mark.parametrize("n", SIZES)
def test_random_geometry_matches_float64_reference_in_caller_order(dev, kind, n):
    rng = np.random.default_rng(1000 * n + len(kind))
    case = random_case(kind, n, rng)
    queries = rng.uniform(-1.5, 1.5, (Q_RANDOM, 3)).astype(F32)
    engine = build(dev, case)

    got = run(dev, engine, queries)
    assert got.dtype == F32 and got.shape == (Q_RANDOM,)
    assert_close_to_reference(got, reference(case, queries))

    # A permutation of the queries permutes the answers the same way.
    perm = rng.permutation(Q_RANDOM)
    np.testing.assert_array_equal(run(dev, engine, queries[perm]), got[perm])


# ---------------------------------------------------------------- known shapes


def inside_outside_queries(rng, inner, outer_lo, outer_hi, count=300):
    inside = random_directions(rng, count) * rng.uniform(0, inner, (count, 1))
    outside = random_directions(rng, count) * rng.uniform(outer_lo, outer_hi, (count, 1))
    return inside.astype(F32), outside.astype(F32)


CLOSED_SHAPES = {
    "cube": (cube_mesh, 0.9, 1.8, 4.0),  # inscribed ball radius 1, circumradius sqrt(3)
    "icosphere": (lambda: icosphere(3), 0.9, 1.1, 4.0),
}


@pytest.mark.parametrize("shape", CLOSED_SHAPES)
@pytest.mark.parametrize("as_soup", [False, True], ids=["mesh", "soup"])
def test_closed_mesh_is_one_inside_zero_outside_and_flips_when_reversed(dev, shape, as_soup):
    make, inner, lo, hi = CLOSED_SHAPES[shape]
    verts, idx = make()
    inside, outside = inside_outside_queries(np.random.default_rng(7), inner, lo, hi)
    queries = np.concatenate([inside, outside])
    expected = np.r_[np.ones(len(inside)), np.zeros(len(outside))]
    for sign, faces in ((1, idx), (-1, idx[:, [0, 2, 1]])):
        engine = soup_engine(dev, verts[faces]) if as_soup else mesh_engine(dev, verts, faces)
        np.testing.assert_allclose(run(dev, engine, queries), sign * expected, atol=2e-4)


def test_torus_is_one_in_the_tube_and_zero_in_the_hole_and_outside(dev):
    verts, idx = torus()
    rng = np.random.default_rng(3)
    ang = rng.uniform(0, 2 * math.pi, 200)
    off = random_directions(rng, 200) * rng.uniform(0, 0.2, (200, 1))
    tube = np.stack([np.cos(ang), np.sin(ang), np.zeros_like(ang)], -1) + off
    hole = np.c_[rng.uniform(-0.4, 0.4, (200, 2)), rng.uniform(-2, 2, 200)]
    far = random_directions(rng, 200) * rng.uniform(1.5, 5, (200, 1))
    queries = np.concatenate([tube, hole, far]).astype(F32)
    expected = np.r_[np.ones(200), np.zeros(400)]
    got = run(dev, mesh_engine(dev, verts, idx), queries)
    np.testing.assert_allclose(got, expected, atol=2e-4)
    got_reversed = run(dev, mesh_engine(dev, verts, idx[:, [0, 2, 1]]), queries)
    np.testing.assert_allclose(got_reversed, -expected, atol=2e-4)


def test_open_hemisphere_gives_solid_angle_fraction(dev):
    verts, idx = hemisphere()
    engine = mesh_engine(dev, verts, idx)
    # Seen from the centre of its rim the hemisphere covers half of all directions.
    np.testing.assert_allclose(run(dev, engine, [0, 0, 0]), [0.5], atol=1e-5)
    np.testing.assert_allclose(run(dev, mesh_engine(dev, verts, idx[:, [0, 2, 1]]), [0, 0, 0]),
                               [-0.5], atol=1e-5)
    # Elsewhere the value is a fraction, not an integer; compare with the reference.
    rng = np.random.default_rng(11)
    queries = rng.uniform(-1.5, 1.5, (300, 3)).astype(F32)
    assert_close_to_reference(run(dev, engine, queries), ref_triangles(verts[idx], queries))


def test_point_cloud_on_sphere_is_one_inside_zero_outside(dev):
    pts, nrm = fibonacci_sphere(4000)
    inside, outside = inside_outside_queries(np.random.default_rng(5), 0.6, 1.6, 4.0)
    engine = point_engine(dev, pts, nrm)
    np.testing.assert_allclose(run(dev, engine, inside), 1.0, atol=5e-3)
    np.testing.assert_allclose(run(dev, engine, outside), 0.0, atol=5e-3)
    np.testing.assert_allclose(run(dev, point_engine(dev, pts, -nrm), inside), -1.0, atol=5e-3)


# ---------------------------------------------------------- triangle edge cases


def test_queries_on_the_surface_take_the_principal_value(dev):
    # The triangles that hold the query contribute nothing: the unit cube gives
    # 1/8 at a corner, 1/4 on an edge, 1/2 on a face, in any units.
    verts, idx = cube_mesh(0.5)
    corner, edge, face = [-0.5, -0.5, -0.5], [0.5, 0.0, 0.5], [0.125, -0.25, 0.5]
    for scale in (1.0, 2.0**-20, 1e3):
        engine = mesh_engine(dev, verts * F32(scale), idx)
        got = run(dev, engine, np.array([corner, edge, face], F32) * F32(scale))
        np.testing.assert_allclose(got, [0.125, 0.25, 0.5], atol=1e-6)
    # A fan around a vertex: only the far triangle is seen from the vertex.
    ring = [(math.cos(t), math.sin(t), 0.3 * math.sin(2 * t))
            for t in np.arange(6) * 2 * math.pi / 6]
    verts = np.array([(0, 0, 0)] + ring + [(5, 5, 5), (6, 5, 5), (5, 6, 5)], F32)
    idx = np.array([(0, i, i + 1) for i in range(1, 6)] + [(7, 8, 9)], np.uint32)
    queries = verts[[0, 3]]  # the fan's centre and a corner of two fan triangles
    got = run(dev, mesh_engine(dev, verts, idx), queries)
    np.testing.assert_allclose(got, ref_triangles(verts[idx], queries).sum(1), atol=1e-5)
    # A closed mesh queried at its own vertices stays within [0, 1].
    verts, idx = icosphere(2)
    w = run(dev, mesh_engine(dev, verts, idx), verts)
    assert w.min() >= -1e-6 and w.max() <= 1 + 1e-6, (w.min(), w.max())


def test_query_in_the_plane_outside_the_triangle_contributes_zero(dev):
    engine = soup_engine(dev, [[[0, 0, 0], [1, 0, 0], [0, 1, 0]]])
    queries = [[2, 2, 0], [-1, 0.5, 0], [0.5, -3, 0], [3, 0, 0]]  # the last is on the edge's line
    np.testing.assert_allclose(run(dev, engine, queries), 0.0, atol=1e-6)


def test_triangle_sign_follows_which_side_the_query_is_on(dev):
    engine = soup_engine(dev, [[[0, 0, 0], [1, 0, 0], [0, 1, 0]]])
    got = run(dev, engine, [[0.25, 0.25, -0.01], [0.25, 0.25, 0.01]])
    # Just behind (against the normal +z): close to +0.5; in front: close to -0.5.
    assert got[0] > 0.45 and got[1] < -0.45


def test_triangles_ignore_epsilon(dev):
    verts, idx = icosphere(1)
    engine = mesh_engine(dev, verts, idx)
    queries = np.random.default_rng(2).uniform(-1.2, 1.2, (100, 3)).astype(F32)
    base = run(dev, engine, queries)
    for eps in (0.0, DEFAULT_EPS, 0.5, 10.0):
        np.testing.assert_array_equal(run(dev, engine, queries, eps), base)


# ------------------------------------------------------------- point edge cases


def single_dipole(dev):
    """One point at the origin with normal +z; a query at (0,0,-r) sees +1/(4 pi r^2)."""
    return point_engine(dev, [[0, 0, 0]], [[0, 0, 1]])


def dipole(r):
    return 1 / (4 * math.pi * r * r)


def test_query_on_a_point_gets_nothing_from_it(dev):
    pts = np.array([[0, 0, 0], [1, 0, 0]], F32)
    nrm = np.array([[0, 0, 1], [0.3, -0.2, 0.5]], F32)
    engine = point_engine(dev, pts, nrm)
    for eps in (None, 0.0, 0.1):
        got = run(dev, engine, pts, eps)
        expected = ref_points(pts, nrm, pts, DEFAULT_EPS if eps is None else eps).sum(axis=1)
        assert np.all(np.isfinite(got))
        np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-7)


def test_regularisation_switches_off_at_twice_epsilon(dev):
    eps = 2.0**-8  # powers of two keep the query distance and r/eps exact in float32
    engine = single_dipole(dev)
    at, above, below = 2 * eps, 2 * eps * (1 + 1e-4), 2 * eps * (1 - 1e-4)
    got = run(dev, engine, [[0, 0, -at], [0, 0, -above], [0, 0, -below]], eps)
    assert got[0] == pytest.approx(dipole(at), rel=1e-4)
    assert got[1] == pytest.approx(dipole(above), rel=1e-4)
    smooth = math.erf(2) - 4 / math.sqrt(math.pi) * math.exp(-4)  # ~0.954: 4.6% smaller
    assert got[2] == pytest.approx(dipole(below) * smooth, rel=1e-4)


@pytest.mark.parametrize("frac", [0.3, 0.7, 1.0, 1.5, 1.9])
def test_regularised_kernel_between_the_branches(dev, frac):
    eps = 0.01
    r = frac * eps
    got = run(dev, single_dipole(dev), [[0, 0, -r]], eps)
    x = frac
    factor = math.erf(x) - 2 / math.sqrt(math.pi) * x * math.exp(-x * x)
    # Cancellation in erf(x) - ... leaves fewer good digits at small x.
    assert got[0] == pytest.approx(dipole(r) * factor, rel=2e-3)


def test_close_queries_get_the_finite_linear_value(dev):
    eps = 0.01
    engine = single_dipole(dev)
    rs = np.array([0.01, 0.05, 0.09]) * eps
    got = run(dev, engine, np.c_[np.zeros((3, 2)), -rs], eps)
    expected = 4 / (3 * math.sqrt(math.pi) * eps**3) * rs / (4 * math.pi)
    np.testing.assert_allclose(got, expected, rtol=1e-4)
    # The value is bounded: far below the unregularised one.
    assert np.all(got < np.array([dipole(r) for r in rs]) * 1e-2)


def test_zero_epsilon_is_the_plain_dipole_at_any_distance(dev):
    rs = np.array([1e-4, 1e-3, 0.006, 0.5])
    got = run(dev, single_dipole(dev), np.c_[np.zeros((4, 2)), -rs], 0.0)
    np.testing.assert_allclose(got, [dipole(r) for r in rs], rtol=1e-4)


def test_negative_epsilon_is_relative_to_the_cloud(dev):
    # A negative epsilon means 0.004 times half the cloud's longest side: a
    # cloud spanning [-1, 1] gets 0.004, and in other units the same values.
    rng = np.random.default_rng(4)
    pts = rng.uniform(-1, 1, (50, 3))
    pts[:2] = [[-1, -1, -1], [1, 1, 1]]
    nrm = random_directions(rng, 50) * 0.01
    # Queries within 2*eps of some points, where the default changes the answer.
    queries = pts[2:22] + random_directions(rng, 20) * rng.uniform(0.001, 0.007, (20, 1))
    g = dev.array(rng.normal(size=20).astype(F32))
    for s in (1e-3, 1.0, 1e3):
        p, n, q = (np.asarray(a, F32) for a in (pts * s, nrm * s * s, queries * s))
        engine = point_engine(dev, p, n)
        default = run(dev, engine, q)
        grad = dev.numpy(engine.grad_scaled_normals(g))  # the gradients follow the same epsilon
        np.testing.assert_array_equal(run(dev, engine, q, -7.0), default)
        explicit = run(dev, engine, q, DEFAULT_EPS * s)
        np.testing.assert_allclose(dev.numpy(engine.grad_scaled_normals(g)), grad, rtol=1e-5, atol=1e-6 / s)
        assert_close_to_reference(default, ref_points(p, n, q, default_eps(p)), rel=1e-4)
        if s == 1.0:
            np.testing.assert_array_equal(default, explicit)
        assert not np.allclose(default, run(dev, engine, q, 0.0), rtol=1e-2)


# ------------------------------------------------------------------ empty sizes


@pytest.mark.parametrize("kind", ["soup", "mesh", "points"])
def test_no_queries_gives_an_empty_result(dev, kind):
    case = random_case(kind, 10, np.random.default_rng(0))
    got = run(dev, build(dev, case), np.zeros((0, 3), F32))
    assert got.shape == (0,) and got.dtype == F32


@pytest.mark.parametrize("kind", ["soup", "mesh", "points"])
def test_empty_geometry_gives_zeros(dev, kind):
    empty = {
        "soup": ("soup", np.zeros((0, 3, 3), F32)),
        "mesh": ("mesh", np.zeros((4, 3), F32), np.zeros((0, 3), np.uint32)),
        "points": ("points", np.zeros((0, 3), F32), np.zeros((0, 3), F32)),
    }[kind]
    queries = np.random.default_rng(1).uniform(-1, 1, (300, 3)).astype(F32)
    got = run(dev, build(dev, empty), queries)
    np.testing.assert_array_equal(got, np.zeros(300, F32))
