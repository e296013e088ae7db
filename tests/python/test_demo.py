"""The demo job (scripts/demo) and the exact evaluations of bench/bench_compare.py.

The generated default shape, the field it gives, the loaders and their
one-line errors, the slice geometry and the written picture. Parts that need
the demo's extra packages (trimesh, matplotlib) skip when those are missing.
"""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "bench"))

from nolith_demo import cli, inputs, shapes, slicing  # noqa: E402
from nolith_demo.engine import Backend, build, evaluate  # noqa: E402

F32 = np.float32


def euler(verts, faces):
    return len(verts) - shapes.edge_report(faces)["edges"] + len(faces)


def signed_volume(verts, faces):
    t = np.asarray(verts, np.float64)[faces]
    return np.einsum("ij,ij->i", t[:, 0], np.cross(t[:, 1], t[:, 2])).sum() / 6


# ------------------------------------------------------------- default shape


def test_full_ring_is_a_closed_outward_torus():
    verts, faces, _, _ = shapes.ring_grid(96, 32)
    report = shapes.edge_report(faces)
    assert (report["boundary"], report["nonmanifold"], report["flipped"]) == (0, 0, 0)
    assert euler(verts, faces) == 0
    # Volume of the swelling tube: 2 pi R * mean(pi r^2), r = 0.2 + 0.06 cos(3 phi).
    expected = 2 * math.pi * 0.62 * math.pi * (0.2**2 + 0.06**2 / 2)
    assert signed_volume(verts, faces) == pytest.approx(expected, rel=0.02)


def test_default_mesh_has_one_hole_crossing_the_slice_plane():
    verts, faces = shapes.holed_ring()
    report = shapes.edge_report(faces)
    assert report["loops"] == 1 and report["boundary"] > 0
    assert (report["nonmanifold"], report["flipped"]) == (0, 0)
    assert euler(verts, faces) == -1  # a torus less one disk
    assert np.array_equal(np.unique(faces), np.arange(len(verts)))  # no unused vertex
    # The hole faces +x and straddles z = 0: its rim is there.
    edges = np.sort(np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]]), axis=1)
    unique, counts = np.unique(edges, axis=0, return_counts=True)
    rim = verts[np.unique(unique[counts == 1])]
    assert np.all(rim[:, 0] > 0.6) and rim[:, 2].min() < 0 < rim[:, 2].max()
    assert len(faces) < 2 * 96 * 32


def test_sampled_points_carry_the_area_and_point_outward():
    verts, faces = shapes.holed_ring()
    points, normals = shapes.sample_surface(verts, faces, 3000, seed=3)
    area, _ = shapes.face_areas_and_normals(verts, faces)
    assert np.linalg.norm(normals, axis=1).sum() == pytest.approx(area.sum(), rel=1e-4)
    # Outward: away from the tube's core circle of radius 0.62 in the z = 0 plane.
    core = points * [1, 1, 0]
    core *= 0.62 / np.linalg.norm(core, axis=1, keepdims=True)
    assert np.all(np.einsum("ij,ij->i", normals, points - core) > 0)
    # Spread evenly: every tenth of the ring (by angle) holds about a tenth of them.
    sector = (np.arctan2(points[:, 1], points[:, 0]) + math.pi) // (math.pi / 5)
    counts = np.bincount(sector.astype(int), minlength=10)
    assert counts.min() > 0.7 * counts.mean()


# ------------------------------------------------------------------- field


@pytest.fixture(scope="module")
def default_engines():
    backend = Backend()
    mesh, cloud = inputs.normalise(list(inputs.default_inputs()))
    return backend, [(mesh, build(backend, mesh)[0]), (cloud, build(backend, cloud)[0])]


def probe_points():
    """Well inside (far side of the ring), far outside, just behind and in front of the hole."""
    verts, _ = shapes.holed_ring()
    lo, hi = verts.min(axis=0), verts.max(axis=0)
    centre, half = (lo + hi) / 2, (hi - lo).max() / 2
    raw = np.array([[-0.62, 0, 0], [0, 0.62, 0], [5, 5, 5], [0, 0, 0.9],
                    [0.62, 0, 0], [0.95, 0, 0]], F32)
    return ((raw - centre) / half).astype(F32)


def test_default_field_is_one_inside_zero_outside_and_fractional_at_the_hole(default_engines):
    backend, engines = default_engines
    for geometry, engine in engines:
        queries = backend.array(probe_points())
        w, _ = evaluate(backend, engine, "brute_force", queries, 1024)
        tol = 0.02 if isinstance(geometry, inputs.Mesh) else 0.06
        assert w[:2] == pytest.approx(1.0, abs=tol), geometry.kind
        assert w[2:4] == pytest.approx(0.0, abs=tol), geometry.kind
        # Behind the hole the tube is open to the outside; in front, the field leaks out.
        assert 0.3 < w[4] < 0.95 and 0.05 < w[5] < 0.6 and w[4] > w[5], (geometry.kind, w)
        # The picture shows compute's field; how close it is to exact is the
        # engine's tests' business, that it is the same field is the demo's.
        fast, _ = evaluate(backend, engine, "compute", queries, 1024)
        np.testing.assert_allclose(fast, w, atol=0.1)


def test_chunked_evaluation_keeps_query_order(default_engines):
    backend, engines = default_engines
    queries = np.random.default_rng(5).uniform(-1.2, 1.2, (301, 3)).astype(F32)
    for _, engine in engines:
        whole, _ = evaluate(backend, engine, "brute_force", backend.array(queries), 1024)
        pieces, seconds = evaluate(backend, engine, "brute_force", backend.array(queries), 37)
        assert whole.shape == (301,) and seconds > 0
        np.testing.assert_allclose(pieces, whole, rtol=0, atol=1e-6)


# ------------------------------------------------------------------- slice


def test_slice_spans_the_two_longest_sides_with_square_cells():
    corners = np.array([[-1, -0.5, -0.1], [1, 0.5, 0.1]], F32)
    plane = slicing.choose_slice(corners, 100)
    assert plane.axis == 2 and plane.offset == pytest.approx(0.0)
    rows, cols = plane.shape
    assert cols == 100 and rows == pytest.approx(100 * 1.6 / 2.6, abs=1)  # margins of 0.3 on each side
    pts = plane.points()
    assert pts.shape == (rows * cols, 3) and np.all(pts[:, 2] == 0)
    assert pts[0, 0] < pts[1, 0] and pts[cols, 1] > pts[0, 1]  # row-major, u fastest


def test_outline_of_a_cube_cut_through_the_middle_is_its_square():
    verts = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], F32)
    faces = np.array([[0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
                      [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3]], np.uint32)
    for offset in (0.5, 0.0):  # through the middle, and along a face's edge
        plane = slicing.Slice(2, offset, (0, 1), (0, 1), (2, 2))
        seg = slicing.outline(verts, faces, plane)
        assert np.all(np.isfinite(seg))
        on_square = np.isclose(seg, 0) | np.isclose(seg, 1)
        assert np.all(on_square.any(axis=2))
    plane = slicing.Slice(2, 0.5, (0, 1), (0, 1), (2, 2))
    seg = slicing.outline(verts, faces, plane)
    assert np.linalg.norm(seg[:, 1] - seg[:, 0], axis=1).sum() == pytest.approx(4.0)


# ------------------------------------------------------------------ inputs


def write(path, text):
    path.write_text(text)
    return str(path)


def test_point_cloud_text_gets_areas_from_its_spacing(tmp_path):
    n = 4000
    i = np.arange(n) + 0.5
    z = 1 - 2 * i / n
    s = np.sqrt(1 - z * z)
    unit = np.stack([s * np.cos(math.pi * (1 + 5**0.5) * i), s * np.sin(math.pi * (1 + 5**0.5) * i), z], -1)
    np.savetxt(tmp_path / "sphere.xyz", np.concatenate([unit, unit], axis=1))
    cloud = inputs.load(str(tmp_path / "sphere.xyz"))
    assert isinstance(cloud, inputs.PointCloud) and cloud.size == n
    assert np.linalg.norm(cloud.normals, axis=1).sum() == pytest.approx(4 * math.pi, rel=0.25)


def test_area_estimate_without_scipy_matches_scipy(monkeypatch):
    pytest.importorskip("scipy")
    points = np.random.default_rng(2).normal(size=(500, 3))
    with_scipy = inputs.estimate_areas(points)
    monkeypatch.setitem(sys.modules, "scipy.spatial", None)
    np.testing.assert_allclose(inputs.estimate_areas(points), with_scipy, rtol=1e-6)


def test_off_reader_fans_polygons_and_skips_comments(tmp_path):
    path = write(tmp_path / "quad.off", "OFF # a unit square\n4 1 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3\n")
    mesh = inputs.read_off(path)
    assert mesh.faces.shape == (2, 3)
    area, _ = shapes.face_areas_and_normals(mesh.vertices, mesh.faces)
    assert area.sum() == pytest.approx(1.0)


BAD_FILES = {
    "missing.obj": None,
    "columns.xyz": "0 0 0 1\n1 1 1 1\n",
    "empty.xyz": "",
    "nan.xyz": "0 0 nan 0 0 1\n",
    "cloud.npz": b"not a zip file",
    "shape.vtk": "solid\n",
}
MESH_FILES = {
    "empty.off": "OFF\n0 0 0\n",
    "garbage.off": "hello world\nthis is not an OFF file\n",
    "garbage.stl": "\x00\x01garbage" * 10,
    "empty.obj": "",
    "flat.obj": "v 0 0 0\nv 1 0 0\nv 2 0 0\nf 1 2 3\n",
    "far.obj": "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n",
}


def bad_file(tmp_path, name, table):
    content = table[name]
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    return str(path)


@pytest.mark.parametrize("name", list(BAD_FILES) + list(MESH_FILES))
def test_bad_input_gives_one_error_line_and_exit_code_1(tmp_path, capsys, name):
    if name in MESH_FILES:
        pytest.importorskip("trimesh")
    path = bad_file(tmp_path, name, {**BAD_FILES, **MESH_FILES})
    assert cli.main([path, "--out", str(tmp_path / "out.png")]) == 1
    err = capsys.readouterr().err
    assert err.startswith("error: ") and err.count("\n") == 1, err
    assert not os.path.exists(tmp_path / "out.png")


def test_bad_input_from_the_command_line_shows_no_traceback(tmp_path):
    run = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "demo.py"),
                          str(tmp_path / "nowhere.stl")], check=False, capture_output=True,
                         text=True)
    assert run.returncode == 1
    assert run.stderr == f"error: {tmp_path / 'nowhere.stl'}: no such file\n"


def test_non_manifold_soup_loads_with_a_note(tmp_path):
    pytest.importorskip("trimesh")
    # Three triangles on one edge, one of them walked the other way round.
    path = write(tmp_path / "fin.obj", "v 0 0 0\nv 0 0 1\nv 1 0 0\nv -1 0 0\nv 0 1 0\n"
                 "f 1 2 3\nf 1 2 4\nf 1 2 5\n")
    mesh = inputs.load(path)
    assert mesh.size == 3
    assert "non-manifold: 1 edges" in mesh.notes[0] and "inconsistently oriented" in mesh.notes[0]


def test_stl_corners_are_merged_into_shared_vertices(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    trimesh.creation.box().export(tmp_path / "box.stl")
    mesh = inputs.load(str(tmp_path / "box.stl"))
    assert len(mesh.vertices) == 8 and mesh.notes == ["closed, consistently oriented surface"]


# -------------------------------------------------------------------- run


def test_demo_prints_the_table_and_writes_the_picture(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    out = tmp_path / "pic" / "slice.png"
    assert cli.main(["--grid", "24", "--random", "50", "--points", "400", "--orient", "200", "--out", str(out)]) == 0
    text = capsys.readouterr().out
    assert "triangle mesh" in text and "point cloud" in text and "speed-up" in text
    assert f"slice picture: {out}" in text
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and out.stat().st_size > 20_000
    # The normal-orientation example: normals withheld, solved, pictured.
    assert "solved normals pointing the true way" in text
    assert (out.parent / "normal_orientation.png").stat().st_size > 20_000


# ------------------------------------------- the benchmark's exact evaluations


def test_bench_exact_evaluations_agree_with_closed_shapes():
    import bench_compare

    verts, faces, _, _ = shapes.ring_grid(48, 16)
    mesh = inputs.Mesh("ring", verts, faces)
    points, normals = shapes.sample_surface(verts, faces, 6000)
    cloud = inputs.PointCloud("ring points", points, normals)
    queries = np.array([[-0.62, 0, 0], [0, 0.62, 0.05], [0, 0, 0], [2, 1, 0]])
    for geometry, tol in ((mesh, 1e-9), (cloud, 0.05)):
        kernel = bench_compare.exact_triangles if geometry is mesh else bench_compare.exact_points
        w = np.concatenate(kernel(np, bench_compare.columns(geometry, np.float64), queries, 5))
        np.testing.assert_allclose(w, [1, 1, 0, 0], atol=tol)
