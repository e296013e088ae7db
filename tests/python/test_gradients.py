"""Gradients through NolithEngine's queries, and the normal solver.

After brute_force the VJPs are exact: they match float64 central differences
of the float64 reference, for point clouds (both branches of the regularised
kernel and queries at the switch at 2 epsilon), triangle soups and indexed
meshes (summed onto shared vertices). After compute they are the gradient of
the approximation compute evaluated (checked element by element against a
fixed-decision float64 approximation in the C++ traversal tests): here the
field's linearity in the normals checks them against compute itself, and the
positions' against the exact ones within compute's error. solve_normals
orients a point set sampled from a closed CGAL mesh, clean and noisy, with
lengths that give the field 1 inside. The PyTorch helper (where torch is
installed) passes the same gradients to the tensors an engine was built
from, and drives an optimisation with torch imported first.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import cgal_data
import nolith_module
from test_brute_force import F32, fibonacci_sphere, icosphere, ref_points, ref_triangles

Engine = nolith_module.NolithEngine
EPS = 0.02


def numeric_gradient(loss, x, h=1e-5):
    """Central differences of loss(x) in float64, one coordinate at a time."""
    x = np.asarray(x, np.float64)
    grad = np.zeros_like(x)
    for index in np.ndindex(x.shape):
        step = np.zeros_like(x)
        step[index] = h
        grad[index] = (loss(x + step) - loss(x - step)) / (2 * h)
    return grad


def close(got, want, rel=1e-3):
    scale = np.abs(want).max()
    np.testing.assert_allclose(got, want, rtol=0, atol=rel * scale + 1e-6)


@pytest.mark.parametrize("kind", ["points", "soup", "mesh"])
def test_vjps_after_brute_force_are_exact(dev, kind):
    rng = np.random.default_rng(3)
    queries = rng.uniform(-1.5, 1.5, (40, 3))
    g = rng.normal(size=40).astype(F32)
    if kind == "points":
        p = rng.normal(size=(30, 3)).astype(F32)
        n = (rng.normal(size=(30, 3)) * 0.1).astype(F32)
        # Inside the regularisation, just beyond the switch at 2 epsilon, and below 0.1 epsilon.
        queries[:3] = p[:3] + [[0.5 * EPS, 0, 0], [0, 2.01 * EPS, 0], [0, 0, 0.05 * EPS]]
        queries = queries.astype(F32)
        engine = Engine(dev.array(p), dev.array(n))
        engine.brute_force(dev.array(queries), EPS)
        loss_n = lambda m: g @ ref_points(p, m, queries, EPS).sum(1)  # noqa: E731
        loss_p = lambda m: g @ ref_points(m, n, queries, EPS).sum(1)  # noqa: E731
        close(dev.numpy(engine.grad_scaled_normals(dev.array(g))), numeric_gradient(loss_n, n))
        close(dev.numpy(engine.grad_points(dev.array(g))), numeric_gradient(loss_p, p, h=1e-6))
        return
    queries = queries.astype(F32)
    verts, idx = icosphere(1)
    verts = (verts + rng.normal(size=verts.shape) * 0.05).astype(F32)
    loss = lambda v: g @ ref_triangles(v[idx], queries).sum(1)  # noqa: E731
    want = numeric_gradient(loss, verts)
    if kind == "mesh":
        engine = Engine(dev.array(verts), dev.array(idx))
        engine.brute_force(dev.array(queries))
        close(dev.numpy(engine.grad_points(dev.array(g))), want)
    else:
        engine = Engine(dev.array(verts[idx]))
        engine.brute_force(dev.array(queries))
        per_corner = dev.numpy(engine.grad_points(dev.array(g)))
        assert per_corner.shape == (len(idx), 3, 3)
        summed = np.zeros_like(want)
        np.add.at(summed, idx.reshape(-1), per_corner.reshape(-1, 3))
        close(summed, want)


def test_vjps_after_compute_follow_compute(dev):
    rng = np.random.default_rng(4)
    queries = rng.uniform(-1.4, 1.4, (300, 3)).astype(F32)
    g = rng.normal(size=300).astype(F32)
    pts, nrm = (a.astype(F32) for a in fibonacci_sphere(2000))
    engine = Engine(dev.array(pts), dev.array(nrm))
    engine.compute(dev.array(queries))
    grad_n = dev.numpy(engine.grad_scaled_normals(dev.array(g))).astype(np.float64)
    grad_p = dev.numpy(engine.grad_points(dev.array(g))).astype(np.float64)
    # compute is linear in the normals: a finite step of any size is exact,
    # up to the half-precision rounding of the expansions.
    v = rng.normal(size=nrm.shape) * np.abs(nrm).max()

    def field(normals):
        return dev.numpy(Engine(dev.array(pts), dev.array(normals.astype(F32))).compute(dev.array(queries)))

    difference = g @ (field(nrm + 0.5 * v).astype(np.float64) - field(nrm - 0.5 * v))
    assert abs(difference - (grad_n * v).sum()) < 2e-3 * abs(difference)
    # The positions' gradient is compute's: within its error of the exact one.
    engine.brute_force(dev.array(queries))
    exact_p = dev.numpy(engine.grad_points(dev.array(g)))
    close(grad_p, exact_p, rel=5e-3)
    # Per triangle corner likewise (summed over a closed mesh's vertices, the
    # exact gradient cancels almost to nothing, the approximation's does not).
    verts, idx = icosphere(3)
    soup = Engine(dev.array(verts[idx]))
    soup.compute(dev.array(queries))
    fast = dev.numpy(soup.grad_points(dev.array(g)))
    soup.brute_force(dev.array(queries))
    close(fast, dev.numpy(soup.grad_points(dev.array(g))), rel=5e-3)


def test_gradients_follow_the_most_recent_query(dev):
    engine = Engine(dev.array(np.eye(3, dtype=F32)), dev.array(np.eye(3, dtype=F32)))
    g = dev.array(np.ones(4, F32))
    with pytest.raises(RuntimeError, match="there has been none: call one first"):
        engine.grad_points(g)
    engine.compute(dev.array(np.zeros((2, 3), F32)))
    with pytest.raises(RuntimeError, match="grad_output has 4 values, but the most recent compute call .* had 2"):
        engine.grad_scaled_normals(g)
    soup = Engine(dev.array(np.eye(3, dtype=F32)[None]))
    soup.brute_force(dev.array(np.zeros((4, 3), F32)))
    with pytest.raises(RuntimeError, match="grad_scaled_normals is for point clouds"):
        soup.grad_scaled_normals(g)
    assert dev.numpy(soup.grad_points(g)).shape == (1, 3, 3)


@pytest.mark.skipif(cgal_data.archive() is None, reason="libcgal-demo data not installed")
def test_solve_normals_orients_a_point_set_from_a_closed_mesh(dev):
    # Points spread evenly by area over CGAL's elephant, the normals withheld;
    # the only information: 0.5 at the points, 0 on a sphere around the scene.
    verts, idx = cgal_data.load_off("data/meshes/elephant.off")
    tris = verts[idx].astype(np.float64)
    area = 0.5 * np.linalg.norm(np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0]), axis=1)
    rng = np.random.default_rng(5)
    n = 700
    pick = np.searchsorted(np.cumsum(area), (np.arange(n) + rng.random(n)) * area.sum() / n).clip(max=len(tris) - 1)
    u = rng.random((n, 2))
    u[u.sum(1) > 1] = 1 - u[u.sum(1) > 1]
    t = tris[pick]
    pts = t[:, 0] + u[:, :1] * (t[:, 1] - t[:, 0]) + u[:, 1:] * (t[:, 2] - t[:, 0])
    true_normals = np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0])
    d = rng.normal(size=(200, 3))
    outside = verts.mean(0) + d / np.linalg.norm(d, axis=1, keepdims=True) * np.ptp(verts, 0).max()
    queries = rng.uniform(verts.min(0), verts.max(0), (1500, 3)).astype(F32)
    truth = dev.numpy(Engine(dev.array(verts), dev.array(idx)).brute_force(dev.array(queries)))
    inside, clear = truth > 0.5, np.abs(truth - 0.5) > 0.1

    def solve(points, s=1.0):
        arrays = (dev.array((a * s).astype(F32)) for a in (points, outside))
        return Engine.solve_normals(*arrays, dev.array(np.zeros(200, F32)))

    # Oriented, and scaled so that the field is about 1 inside and 0 outside
    # (the least-squares lengths alone gave 0.7 inside); with noise of 0.5%
    # of the size as well. Measured: 99.7% / 98.1% oriented, 0.98-1.0 inside.
    noisy = pts + rng.normal(size=pts.shape) * 0.005 * np.ptp(verts, 0).max()
    solved_normals = []
    for points, least_oriented in ((pts, 0.98), (noisy, 0.95)):
        solved = solve(points)
        normals = dev.numpy(solved.scaled_normals)
        solved_normals.append(normals)
        oriented = np.mean(np.einsum("nk,nk->n", normals, true_normals) > 0)
        field = dev.numpy(solved.compute(dev.array(queries)))
        agree = np.mean((field[clear] > 0.5) == inside[clear])
        levels = np.median(field[inside]), np.median(field[~inside])
        assert oriented > least_oriented and agree > 0.97, (oriented, agree)
        assert 0.9 < levels[0] < 1.1 and abs(levels[1]) < 0.03, levels
    # The same data in other units (0.001 times) solves to the same normals,
    # scaled by the area's units: nothing in the solve is a fixed length.
    # (Repeated solves differ by about 2%: the transposes add in any order.)
    close(dev.numpy(solve(pts, 1e-3).scaled_normals) / 1e-6, solved_normals[0], rel=5e-2)


def test_solve_normals_takes_degenerate_clouds(dev):
    # Lengths come from each point's neighbours: a lone point, points all at
    # one place, repeated points and a far stray point must not make them
    # infinite or NaN, and a repeated point shares its place's area.
    rng = np.random.default_rng(2)
    d = rng.normal(size=(300, 3))
    sphere = d / np.linalg.norm(d, axis=1, keepdims=True)
    none = (dev.array(np.zeros((0, 3), F32)), dev.array(np.zeros(0, F32)))
    for cloud in (np.ones((1, 3)), np.ones((40, 3)), np.concatenate([sphere, sphere[:100], [[40.0, 40.0, 40.0]]])):
        solved = Engine.solve_normals(dev.array(cloud.astype(F32)), *none)
        normals = dev.numpy(solved.scaled_normals)
        assert normals.shape == cloud.shape and np.isfinite(normals).all()
    np.testing.assert_array_equal(normals[:100], normals[300:400])
    alone, repeated = (np.median(np.linalg.norm(normals[s], axis=1)) for s in (slice(100, 300), slice(0, 100)))
    assert 0.35 < repeated / alone < 0.65, (repeated, alone)
    field = dev.numpy(solved.compute(dev.array(np.array([[0, 0, 0], [0, 0, 3]], F32))))
    assert abs(field[0] - 1) < 0.1 and abs(field[1]) < 0.05, field


def torch_geometry(torch, kind, size, rng, device):
    """(engine arguments, winding_numbers keywords) for a cloud, a soup or a
    mesh, the keyword tensors requiring gradients."""
    t = lambda a: torch.tensor(np.asarray(a, F32), device=device, requires_grad=True)  # noqa: E731
    if kind == "points":
        p, n = rng.normal(size=(size, 3)), rng.normal(size=(size, 3)) * 0.1
        return (p, n), {"points": t(p), "normals": t(n)}
    verts, idx = icosphere(1 if size < 100 else 3)
    verts = verts + rng.normal(size=verts.shape) * 0.05
    if size >= 100:  # an open cap: a closed mesh's vertex gradients nearly cancel
        idx = idx[verts[idx][:, :, 2].min(1) > -0.3]
    if kind == "soup":
        return (verts[idx],), {"triangles": t(verts[idx])}
    return (verts, idx), {"vertices": t(verts)}


@pytest.mark.parametrize("kind", ["points", "soup", "mesh"])
def test_torch_gradients_are_the_exact_ones_and_computes(dev, kind):
    torch = pytest.importorskip("torch")
    from nolith_torch import winding_numbers

    device = "cuda" if dev.flavour == "cuda" else "cpu"
    rng = np.random.default_rng(8)
    queries = rng.uniform(-1.5, 1.5, (40, 3)).astype(F32)
    g = rng.normal(size=40)
    tq, tg = torch.tensor(queries, device=device), torch.tensor(g, dtype=torch.float32, device=device)

    def torch_gradients(size, method):
        arrays, tensors = torch_geometry(torch, kind, size, np.random.default_rng(size), device)
        engine = Engine(*(dev.array(a.astype(np.uint32 if a.dtype.kind in "iu" else F32)) for a in arrays))
        w = winding_numbers(engine, tq, method=method, epsilon=EPS, **tensors)
        (w * tg).sum().backward()
        return arrays, {name: x.grad.cpu().numpy() for name, x in tensors.items()}

    # brute_force: float64 central differences of the exact field.
    arrays, grads = torch_gradients(30, "brute_force")
    if kind == "points":
        p, n = arrays
        close(grads["normals"], numeric_gradient(lambda m: g @ ref_points(p, m, queries, EPS).sum(1), n))
        close(grads["points"], numeric_gradient(lambda m: g @ ref_points(m, n, queries, EPS).sum(1), p, h=1e-6))
    elif kind == "soup":
        (tris,) = arrays
        close(grads["triangles"], numeric_gradient(lambda m: g @ ref_triangles(m, queries).sum(1), tris))
    else:
        verts, idx = arrays
        close(grads["vertices"], numeric_gradient(lambda m: g @ ref_triangles(m[idx], queries).sum(1), verts))
    # compute: the exact VJP within compute's error, on geometry of many packets.
    # Far-field errors do not cancel where the exact gradients do (inside a
    # surface's patch): up to about 2% of the largest entry at single
    # elements, a few tenths of a percent in RMS.
    _, fast = torch_gradients(2000, "compute")
    _, exact = torch_gradients(2000, "brute_force")
    for name in fast:
        close(fast[name], exact[name], rel=3e-2)
        assert np.sqrt(np.mean((fast[name] - exact[name]) ** 2)) < 3e-3 * np.abs(exact[name]).max(), name


def test_torch_imported_first_drives_an_optimisation_that_rebuilds_each_step(dev):
    pytest.importorskip("torch")
    # Normals learnt from winding numbers: 1 inside the unit sphere, 0 outside.
    code = textwrap.dedent(f"""
        import torch
        import numpy as np
        import nolith_module
        from nolith_torch import winding_numbers
        from test_brute_force import fibonacci_sphere

        nolith_module._set_console_output(False)
        device = {"'cuda'" if dev.flavour == "cuda" else "'cpu'"}
        as_engine = (lambda t: t.detach()) if device == "cuda" else (lambda t: t.detach().numpy())
        pts, nrm = fibonacci_sphere(500)
        points = torch.tensor(pts, device=device)
        normals = torch.tensor(nrm * 0.3, device=device, requires_grad=True)
        rng = np.random.default_rng(9)
        q = rng.normal(size=(400, 3))
        q *= rng.uniform(0.2, 2.0, (400, 1)) / np.linalg.norm(q, axis=1, keepdims=True)
        queries = torch.tensor(q, dtype=torch.float32, device=device)
        target = (queries.norm(dim=1) < 1).float()
        optimiser = torch.optim.Adam([normals], lr=3e-3)
        losses = []
        for step in range(6):
            engine = nolith_module.NolithEngine(as_engine(points), as_engine(normals))
            w = winding_numbers(engine, queries, points=points, normals=normals)
            loss = ((w - target) ** 2).mean()
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            losses.append(loss.item())
        print(losses)
        assert losses[-1] < 0.5 * losses[0], losses
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600,
                          cwd=os.path.dirname(__file__))
    assert done.returncode == 0, done.stdout + done.stderr
