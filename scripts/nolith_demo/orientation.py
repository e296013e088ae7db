"""The demo's second part: consistent normals for a point set without them.

A point set with known normals (CGAL's kitten when Debian's libcgal-demo is
installed, else points sampled from the generated ring) has its normals
withheld. NolithEngine.solve_normals finds scaled normals that give the
winding number 1/2 at the points and 0 on a sphere around them; the solved
field is pictured beside the field of the true normals, and the share of
points whose solved normal points the true way is printed.
"""

import os
import sys
import time

import numpy as np

from . import inputs, plot, shapes, slicing
from .engine import native_stdout_silenced

F32 = np.float32
KITTEN = "data/points_3/kitten.xyz"


def true_point_set(large, seed):
    """(name, points, unit normals): the kitten, or points on the generated ring."""
    try:
        sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "python"))
        import cgal_data

        if cgal_data.archive() is not None:
            points, normals = cgal_data.load_points(KITTEN)
            return "CGAL's kitten", points, normals
    except (ImportError, OSError, ValueError):
        pass
    verts, faces = shapes.holed_ring()
    points, scaled = shapes.sample_surface(verts, faces, 200_000 if large else 2_000, seed=seed)
    return "points on the generated ring", points, scaled / np.linalg.norm(scaled, axis=1, keepdims=True)


def run_orientation(backend, plane_resolution, out_path, seed=0, points=None):
    """Solves the normals of a point set, prints how they agree, writes a picture."""
    import nolith_module

    name, points_all, unit_normals = true_point_set(backend.on_gpu, seed)
    rng = np.random.default_rng(seed)
    count = points or (len(points_all) if backend.on_gpu else 800)
    pick = rng.choice(len(points_all), min(count, len(points_all)), replace=False)
    areas = inputs.estimate_areas(points_all[pick])
    cloud = inputs.PointCloud(f"{name}, true normals", points_all[pick].astype(F32),
                              (unit_normals[pick] * areas[:, None]).astype(F32))
    cloud = inputs.normalise([cloud])[0]

    # Known outside: a sphere around the cloud, where the winding number is 0.
    directions = rng.normal(size=(max(200, len(pick) // 4), 3))
    outside = (1.8 * directions / np.linalg.norm(directions, axis=1, keepdims=True)).astype(F32)
    start = time.perf_counter()
    solved = nolith_module.NolithEngine.solve_normals(backend.array(cloud.points), backend.array(outside),
                                                      backend.array(np.zeros(len(outside), F32)))
    backend.sync()
    seconds = time.perf_counter() - start
    normals = backend.numpy(solved.scaled_normals)
    agree = float(np.mean(np.einsum("nk,nk->n", normals, cloud.normals) > 0))
    with native_stdout_silenced():
        truth = nolith_module.NolithEngine(*[backend.array(a) for a in cloud.arrays()])

    plane = slicing.choose_slice(cloud.corners, plane_resolution)
    grid = backend.array(plane.points())
    true_field = backend.numpy(truth.compute(grid)).reshape(plane.shape)
    solved_field = backend.numpy(solved.compute(grid)).reshape(plane.shape)
    inside_agree = float(np.mean((true_field > 0.5) == (solved_field > 0.5)))
    print(f"normal orientation: {name}, {len(pick):,} points, normals withheld, "
          f"solved in {seconds:.1f} s ({'GPU' if backend.on_gpu else 'host flavour, CPU'})")
    print(f"  solved normals pointing the true way: {agree:.1%}; "
          f"inside/outside on the slice as with the true normals: {inside_agree:.1%}")

    solved_cloud = inputs.PointCloud("solved normals", cloud.points, normals)
    panels = [plot.panel_for(cloud, plane, true_field, "the normals the file gives"),
              plot.panel_for(solved_cloud, plane, solved_field,
                             f"solve_normals: {agree:.1%} point the true way")]
    try:
        path = plot.save_figure(out_path, plane, panels, f"{name}: true normals | normals solved without them")
    except ImportError:
        print("  orientation picture: skipped, matplotlib is not installed")
        return
    shown = os.path.relpath(path)
    print(f"  orientation picture: {path if shown.startswith('..') else shown}")
