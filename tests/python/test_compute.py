"""The fast path, NolithEngine.compute, against brute_force and float64 references.

compute walks the BVH8 and replaces a node by its far-field expansion (orders
0-2, stored in half / bfloat16) once the query is beyond beta times the node's
radius. The checks:
- a huge beta reaches every leaf, so compute equals brute_force up to the
  order of the float32 sums;
- at the default beta the error stays inside bounds set from measurement,
  which a lost order, a flipped sign, a wrong centre or a skipped subtree
  break (see DEFAULT_BETA_CASES);
- beta = 0 uses the root's expansion alone, checked against a float64
  expansion of the whole geometry;
- one leaf (N <= 32) is summed exactly whatever beta is;
- caller order, far queries, a query at the root's centre, meshes and a point
  set from Debian's libcgal-demo data, and the Graphviz dump.

The host flavour runs the kernels on a CPU emulation, where compute is slow:
query counts are kept to a few thousand per test.
"""

import math

import numpy as np
import pytest

import cgal_data
import nolith_census
from test_brute_force import (
    DEFAULT_EPS,
    F32,
    assert_close_to_reference,
    build,
    default_eps,
    fibonacci_sphere,
    icosphere,
    mesh_engine,
    point_engine,
    random_case,
    random_directions,
    ref_points,
    ref_triangles,
    reference,
    soup_engine,
    torus,
)

HUGE_BETA = 1e9
DEFAULT_BETA = {"soup": 2.3, "mesh": 2.3, "points": 2.0}


def fast(dev, engine, queries, beta=None):
    q = dev.array(np.asarray(queries, F32).reshape(-1, 3))
    out = engine.compute(q) if beta is None else engine.compute(q, beta)
    return dev.numpy(out).astype(np.float64)


def fast_eps(dev, engine, queries, epsilon):
    return dev.numpy(engine.compute(dev.array(np.asarray(queries, F32)), -1.0, epsilon)).astype(np.float64)


def exact(dev, engine, queries):
    q = dev.array(np.asarray(queries, F32).reshape(-1, 3))
    return dev.numpy(engine.brute_force(q)).astype(np.float64)


def error_stats(err):
    return f"max {err.max():.2e} mean {err.mean():.2e} p99.9 {np.quantile(err, 0.999):.2e}"


# ------------------------------------------------- float64 expansion of a set


def element_moments(kind, data):
    """Per-element (weight, position, scaled normal, moment points) in float64.

    Triangles weigh their area and put their second moment on the three edge
    midpoints; points weigh 1 and are their own moment point.
    """
    if kind in ("soup", "mesh"):
        t = np.asarray(data[0] if kind == "soup" else data[0][data[1]], np.float64)
        normal = 0.5 * np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
        mids = np.stack([(t[:, 0] + t[:, 1]) / 2, (t[:, 1] + t[:, 2]) / 2, (t[:, 0] + t[:, 2]) / 2], 1)
        return np.linalg.norm(normal, axis=1), t.mean(axis=1), normal, mids
    pts, nrm = (np.asarray(a, np.float64) for a in data)
    return np.ones(len(pts)), pts, nrm, pts[:, None, :]


def expansion(kind, data):
    """Centre of mass and the order 0, 1, 2 terms (Z, M, T) of a whole set about it."""
    weight, pos, normal, mids = element_moments(kind, data)
    com = (weight[:, None] * pos).sum(0) / weight.sum()
    d = pos - com
    m = mids - com
    second = np.einsum("emj,emk->ejk", m, m) / m.shape[1]
    zero = normal.sum(0)
    first = np.einsum("er,ec->rc", d, normal)
    second_terms = 0.5 * np.einsum("ejk,ei->jki", second, normal)
    return com, (zero, first, second_terms)


def expansion_terms(com, coefficients, queries):
    """(3, Q) value of each order of the expansion about com at the queries."""
    zero, first, second = coefficients
    d0 = com - np.asarray(queries, np.float64)
    rho = 1 / np.linalg.norm(d0, axis=1)
    n = d0 * rho[:, None]
    order0 = rho**2 * (n @ zero)
    order1 = rho**3 * (np.trace(first) - 3 * np.einsum("qi,ij,qj->q", n, first, n))
    b = np.einsum("ijj->i", second)
    a = np.einsum("jjl->l", second)
    cubic = np.einsum("ijl,qi,qj,ql->q", second, n, n, n)
    order2 = rho**4 * (15 * cubic - 6 * n @ b - 3 * n @ a)
    return np.stack([order0, order1, order2]) / (4 * math.pi)


# -------------------------------------------- huge beta and defaults, by size

SIZES = [33, 100, 1000, 2999]
Q_SWEEP = 203  # not a multiple of 32: the last warp is partly empty
KINDS = ["soup", "mesh", "points"]

# A point cloud of 33 elements ends with a one-point leaf, whose radius is 0.
@pytest.mark.parametrize("kind,n", [(k, n) for k in KINDS for n in SIZES])
def test_compute_matches_brute_force_by_size(dev, kind, n):
    rng = np.random.default_rng(7000 + n + len(kind))
    case = random_case(kind, n, rng)
    engine = build(dev, case)
    queries = rng.uniform(-1.5, 1.5, (Q_SWEEP, 3)).astype(F32)
    magnitude = np.abs(reference(case, queries)).sum(axis=1)
    truth = exact(dev, engine, queries)

    # Every leaf summed exactly: only the order of the float32 additions differs
    # (measured: at most 1.1e-7 of the summed magnitudes).
    walked = fast(dev, engine, queries, HUGE_BETA)
    assert walked.shape == (Q_SWEEP,)
    bad = np.abs(walked - truth) > 2e-6 * magnitude + 1e-7
    assert not bad.any(), f"{bad.sum()} queries differ, first {np.flatnonzero(bad)[0]}"

    # Defaults: far-field terms in play (measured: at most 1.2e-3 here).
    default = fast(dev, engine, queries)
    err = np.abs(default - truth)
    assert err.max() < 4e-3, error_stats(err)
    np.testing.assert_array_equal(fast(dev, engine, queries, DEFAULT_BETA[kind]), default)

    assert fast(dev, engine, np.zeros((0, 3), F32)).shape == (0,)


# ------------------------------------------------ default beta: error bounds


def near_surface_queries(rng, centres, normals, count, offset):
    unit = normals / np.linalg.norm(normals, axis=1, keepdims=True)
    pick = rng.integers(0, len(centres), count)
    return centres[pick] + unit[pick] * rng.uniform(-offset, offset, (count, 1))


def sphere_mesh():
    verts, idx = icosphere(4)  # 5120 triangles
    return mesh_engine, (verts, idx), verts[idx].mean(axis=1), None


def torus_mesh():
    verts, idx = torus(nu=80, nv=40)  # 6400 triangles
    return mesh_engine, (verts, idx), verts[idx].mean(axis=1), None


def sphere_points():
    pts, nrm = fibonacci_sphere(5000)
    return point_engine, (pts, nrm), pts, nrm


# name: (geometry, max bound, mean bound). Measured over the 1000 uniform and
# 1000 near-surface queries below (max / mean): sphere 1.6e-3 / 3.8e-4, torus
# 2.3e-3 / 3.1e-4, points 3.6e-3 / 8.4e-4. A float64 emulation of the same walk
# on the same shapes gives, for faulty variants, mean errors of at least 3e-3
# (order 0 only, orders 0-1 only, order 1 with the wrong sign, expansions
# evaluated about the box centre instead of the centre of mass) and maximum
# errors above 0.1 with one 32-element leaf left out; the library built with
# such faults fails these bounds.
DEFAULT_BETA_CASES = {
    "sphere": (sphere_mesh, 3.5e-3, 1e-3),
    "torus": (torus_mesh, 5e-3, 1e-3),
    "points": (sphere_points, 7e-3, 2e-3),
}


@pytest.mark.parametrize("name", DEFAULT_BETA_CASES)
def test_default_beta_error_within_bounds(dev, name):
    make, max_bound, mean_bound = DEFAULT_BETA_CASES[name]
    factory, arrays, centres, normals = make()
    engine = factory(dev, *arrays)
    if normals is None:
        t = arrays[0][arrays[1]].astype(np.float64)
        normals = np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
    rng = np.random.default_rng(1)
    lo, hi = centres.min(axis=0), centres.max(axis=0)
    pad = 0.1 * (hi - lo)
    uniform = rng.uniform(lo - pad, hi + pad, (1000, 3))
    near = near_surface_queries(rng, centres, normals, 1000, 0.05)
    queries = np.concatenate([uniform, near]).astype(F32)

    err = np.abs(fast(dev, engine, queries) - exact(dev, engine, queries))
    assert err.max() < max_bound, error_stats(err)
    assert err.mean() < mean_bound, error_stats(err)


# --------------------------------------------- beta = 0: the root's expansion


@pytest.mark.parametrize("kind,n", [("soup", 33), ("soup", 1000), ("points", 100), ("points", 2000)])
def test_zero_beta_gives_the_root_expansion(dev, kind, n):
    rng = np.random.default_rng(300 + n)
    case = random_case(kind, n, rng)
    engine = build(dev, case)
    com, coefficients = expansion(kind, case[1:])
    # From inside to well outside the geometry, never at the centre itself.
    queries = (com + random_directions(rng, 150) * rng.uniform(0.3, 4.0, (150, 1))).astype(F32)

    got = fast(dev, engine, queries, 0.0)
    np.testing.assert_array_equal(fast(dev, engine, queries, -0.0), got)

    terms = expansion_terms(com, coefficients, queries)
    zero, first, second = coefficients
    rho = 1 / np.linalg.norm(com - queries.astype(np.float64), axis=1)
    # Coefficients and arithmetic in half (orders 0, 1) and bfloat16 (order 2):
    # the error scales with the coefficients' sizes (measured: at most 7e-4 of
    # this scale).
    scale = (rho**2 * np.abs(zero).sum() + 4 * rho**3 * np.abs(first).sum()
             + 30 * rho**4 * np.abs(second).sum()) / (4 * math.pi)
    tolerance = 2e-3 * scale
    err = np.abs(got - terms.sum(axis=0))
    worst = int(np.argmax(err / tolerance))
    assert np.all(err <= tolerance), f"query {worst}: got {got[worst]}, terms {terms[:, worst]}"
    # The bound is tight enough that any one order lost or flipped shows.
    for order in range(3):
        assert np.mean(np.abs(terms[order]) > 2 * tolerance) > 0.2


# --------------------------------------------------- one leaf: always exact


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", [1, 17, 32])
def test_one_leaf_is_summed_exactly_whatever_beta(dev, kind, n):
    rng = np.random.default_rng(n)
    case = random_case(kind, n, rng)
    engine = build(dev, case)
    queries = rng.uniform(-1.5, 1.5, (77, 3)).astype(F32)
    default = fast(dev, engine, queries)
    assert_close_to_reference(default, reference(case, queries))
    for beta in (0.0, 0.5, HUGE_BETA):
        np.testing.assert_array_equal(fast(dev, engine, queries, beta), default)


# ------------------------------------------------------- order and far away


@pytest.mark.parametrize("kind", ["soup", "points"])
@pytest.mark.parametrize("n", [17, 1000])
def test_results_come_back_in_caller_order(dev, kind, n):
    rng = np.random.default_rng(n)
    engine = build(dev, random_case(kind, n, rng))
    queries = rng.uniform(-1.5, 1.5, (300, 3)).astype(F32)
    perm = rng.permutation(len(queries))
    got = fast(dev, engine, queries)
    np.testing.assert_allclose(fast(dev, engine, queries[perm]), got[perm], rtol=0, atol=1e-6)


@pytest.mark.parametrize("kind", ["soup", "points", "sphere"])
def test_queries_far_outside_the_scene(dev, kind):
    rng = np.random.default_rng(5)
    if kind == "sphere":
        verts, idx = icosphere(3)
        case = ("mesh", verts, idx)
    else:
        case = random_case(kind, 1000, rng)
    engine = build(dev, case)
    queries = (random_directions(rng, 64) * 1e4).astype(F32)
    # Float64 reference: brute_force itself loses digits on float32 triangles
    # seen from this far.
    contributions = reference(case, queries)
    got = fast(dev, engine, queries)
    assert np.all(np.isfinite(got))
    # Values ~1e-9 (1e-16 for the closed sphere); the expansion holds them to
    # its coefficients' rounding.
    bound = 2e-3 * np.abs(contributions).sum(axis=1)
    np.testing.assert_array_less(np.abs(got - contributions.sum(axis=1)), bound)


def two_point_clusters():
    """64 points: two mirrored clusters of 32, in opposite octants.

    Coordinates are multiples of 1/8, so every centre of mass the build
    forms (each leaf's, and the root's at exactly 0) is exact in float32; the
    clusters differ in the top bit of every coordinate, so each is one leaf.
    """
    rng = np.random.default_rng(9)
    half = rng.integers(4, 9, (32, 3)) / 8.0  # in [0.5, 1]
    pts = np.concatenate([half, -half]).astype(F32)
    nrm = (random_directions(rng, 64) * 0.05).astype(F32)
    return pts, nrm


def test_query_at_the_root_centre_descends(dev):
    pts, nrm = two_point_clusters()
    engine = point_engine(dev, pts, nrm)
    centre = np.zeros((1, 3), F32)
    # beta = 0 takes every expansion it meets; the root's, at its own centre,
    # would be 0/0. Descending instead gives the two leaves' expansions.
    got = fast(dev, engine, centre, 0.0)
    assert np.all(np.isfinite(got))
    leaves = sum(expansion_terms(*expansion("points", (pts[s], nrm[s])), centre).sum()
                 for s in (slice(0, 32), slice(32, 64)))
    assert got[0] == pytest.approx(leaves, rel=2e-2, abs=1e-4)
    truth = exact(dev, engine, centre)
    assert got[0] == pytest.approx(truth[0], rel=0.1, abs=2e-3)
    assert fast(dev, engine, centre)[0] == pytest.approx(truth[0], rel=0.1, abs=2e-3)


def test_lone_point_leaf_is_summed_exactly_near_its_point(dev):
    # 33 points: the last leaf holds one point, at (0.9, 0.9, 0.9). With a huge
    # beta every leaf should be summed exactly, regularisation included.
    rng = np.random.default_rng(0)
    pts = np.r_[rng.uniform(-1, 0, (32, 3)), [[0.9, 0.9, 0.9]]].astype(F32)
    nrm = (rng.normal(size=(33, 3)) * 0.01).astype(F32)
    engine = point_engine(dev, pts, nrm)
    queries = np.array([[0.9, 0.9, 0.901], [0.9, 0.9, 0.905], [0.9, 0.9, 0.95]], F32)
    expected = ref_points(pts, nrm, queries, default_eps(pts)).sum(axis=1)
    np.testing.assert_allclose(exact(dev, engine, queries), expected, rtol=1e-4)
    np.testing.assert_allclose(fast(dev, engine, queries, HUGE_BETA), expected, rtol=1e-4)


# ----------------------------------------------------- libcgal-demo data

needs_cgal = pytest.mark.skipif(
    cgal_data.archive() is None, reason="libcgal-demo data not installed (apt-get install libcgal-demo)"
)

CGAL_MESHES = {
    "elephant": "data/meshes/elephant.off",  # closed, 5558 triangles
    "knot1": "data/meshes/knot1.off",  # closed knotted tube, 6400 triangles
    "elephant-with-holes": "data/meshes/elephant-with-holes.off",  # 4463 triangles, open
}
CGAL_POINTS = "data/points_3/kitten.xyz"  # 5210 points with unit normals


def box_queries(rng, coords, count):
    lo, hi = coords.min(axis=0), coords.max(axis=0)
    pad = 0.1 * (hi - lo)
    return rng.uniform(lo - pad, hi + pad, (count, 3)).astype(F32)


def assert_inside_outside_agree(got, truth):
    clear = np.abs(truth - 0.5) > 0.1
    differ = clear & ((got > 0.5) != (truth > 0.5))
    assert clear.sum() > 0.8 * len(truth)
    assert not differ.any(), f"queries {np.flatnonzero(differ)[:5]}: {got[differ][:5]} vs {truth[differ][:5]}"


@needs_cgal
@pytest.mark.parametrize("name", CGAL_MESHES)
def test_cgal_mesh_inside_outside(dev, name):
    verts, idx = cgal_data.load_off(CGAL_MESHES[name])
    if name != "elephant-with-holes":
        assert cgal_data.boundary_edge_count(idx) == 0
    engine = mesh_engine(dev, verts, idx)
    rng = np.random.default_rng(len(name))
    t = verts[idx].astype(np.float64)
    normals = np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
    near = near_surface_queries(rng, t.mean(axis=1), normals, 200, 0.02)
    queries = np.concatenate([box_queries(rng, verts, 200), near.astype(F32)])
    got, truth = fast(dev, engine, queries), exact(dev, engine, queries)
    assert_inside_outside_agree(got, truth)
    assert np.abs(got - truth).max() < 5e-3


def area_per_point(pts, k=8):
    """pi r_k^2 / k, with r_k the distance to the k-th nearest neighbour."""
    p = np.asarray(pts, np.float64)
    out = np.empty(len(p))
    for start in range(0, len(p), 512):
        d2 = ((p[start:start + 512, None, :] - p[None]) ** 2).sum(-1)
        out[start:start + 512] = np.partition(d2, k, axis=1)[:, k]
    return math.pi * out / k


@needs_cgal
def test_cgal_point_set(dev):
    pts, unit = cgal_data.load_points(CGAL_POINTS)
    nrm = (unit * area_per_point(pts)[:, None]).astype(F32)
    engine = point_engine(dev, pts, nrm)
    queries = box_queries(np.random.default_rng(3), pts, 400)
    got, truth = fast(dev, engine, queries), exact(dev, engine, queries)
    assert_inside_outside_agree(got, truth)
    assert np.abs(got - truth).max() < 1e-2


# ----------------------------------------------------------- any units

# A real mesh and a point cloud (at the default epsilon, which follows the
# cloud's size) in any units, and moved far from the origin:
# powers of two scale every float exactly, so both methods must give the
# unit-size values bit for bit, with the same work. Other factors round the
# input: brute_force then matches the float64 value of the rounded input as
# closely as at unit size, and compute stays within its unit-size error, with
# about the same work (the census of its walk).
UNIT_SCALES = [1e-6, 2.0**-20, 1e-3, 1e3, 2.0**20, 1e6]


@needs_cgal
@pytest.mark.parametrize("kind", ["mesh", "points"])
def test_any_units_give_the_unit_size_answer(dev, kind):
    rng = np.random.default_rng(8)
    queries = rng.uniform(-0.7, 0.7, (300, 3))
    if kind == "mesh":
        verts, idx = cgal_data.load_off(CGAL_MESHES["elephant"])
        verts = verts.astype(np.float64)
        verts = (verts - verts.min(0)) / np.ptp(verts, 0).max() - 0.5  # unit size about the origin
    else:
        pts, nrm = fibonacci_sphere(3000)
        queries[:40] = pts[:40] + rng.uniform(-1e-3, 1e-3, (40, 3))  # inside the regularisation
        queries[40:200] = pts[40:200] * rng.uniform(0.98, 1.02, (160, 1))  # within 2% of the surface

    def evaluate(scale, shift=0.0):
        q = ((queries + shift) * scale).astype(F32)
        eps = DEFAULT_EPS * scale
        if kind == "mesh":
            v = ((verts + shift) * scale).astype(F32)
            engine, contributions = mesh_engine(dev, v, idx), ref_triangles(v[idx], q)
            census = nolith_census.census_mesh(dev.array(v), dev.array(np.asarray(idx, np.uint32)), dev.array(q), -1.0, eps)
        else:
            p, n = ((pts + shift) * scale).astype(F32), (nrm * scale * scale).astype(F32)
            engine, contributions = point_engine(dev, p, n), ref_points(p, n, q, default_eps(p))
            census = nolith_census.census_points(dev.array(p), dev.array(n), dev.array(q))
            eps = -1.0
        work = census["census"].sum(axis=0, dtype=np.float64)
        return (dev.numpy(engine.compute(dev.array(q), -1.0, eps)).astype(np.float64),
                dev.numpy(engine.brute_force(dev.array(q), eps)), contributions, work)

    fast1, exact1, _, work1 = evaluate(1.0)
    unit_error = np.abs(fast1 - exact1).max()
    assert unit_error < 5e-3
    for scale, shift in [(s, 0.0) for s in UNIT_SCALES] + [(1.0, 10.0)]:
        fast_s, exact_s, contributions, work_s = evaluate(scale, shift)
        where = f"scale {scale}, shift {shift}"
        if shift == 0 and math.log2(scale).is_integer():
            np.testing.assert_array_equal(exact_s, exact1, err_msg=where)
            np.testing.assert_array_equal(fast_s, fast1, err_msg=where)
            np.testing.assert_array_equal(work_s, work1, err_msg=where)
        else:
            assert_close_to_reference(exact_s, contributions)
            assert np.abs(fast_s - exact_s).max() < 1.5 * unit_error + 1e-4, where
            np.testing.assert_allclose(work_s, work1, rtol=0.05, err_msg=where)


# ------------------------------------------------------------------- dump


@pytest.mark.parametrize("n", [1, 32, 33])
def test_dump_names_the_root(dev, n):
    tris = random_case("soup", n, np.random.default_rng(n))[1]
    text = soup_engine(dev, tris).dump()
    assert isinstance(text, str)
    assert text.startswith("digraph BVH8 {\n") and text.endswith("}\n")
    if n <= 32:
        assert "LEAF 0 (Root Leaf)" in text and "NODE 0" not in text
        assert text.count("<TD>P") == n
    else:
        assert "NODE 0" in text and "LEAF 0" in text and "LEAF 1" in text and "LEAF 2" not in text
