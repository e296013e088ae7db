"""The Python surface of NolithEngine: registration, signatures, docstrings,
overloads, argument checks and their messages, and the result arrays.
Winding-number values are tested elsewhere."""

import gc

import numpy as np
import pytest

import nolith_module
from conftest import INDICES, NORMALS, POINTS, QUERIES, TRIANGLES, VERTICES

Engine = nolith_module.NolithEngine

F32 = np.float32
INDEX_MESSAGE = (
    "The triangle indices are not allowed to exceed the number of vertices. "
    "Vertex count is {}, max index is {}."
)


def nb_signature(name):
    """(header, docstring, defaults) per overload, as nanobind records them."""
    member = Engine.__dict__[name]
    if isinstance(member, property):
        member = member.fget
    return member.__nb_signature__


def icosphere_like(rings, segments):
    """A closed latitude-longitude sphere: (vertices, uint32 faces)."""
    theta = np.linspace(0, np.pi, rings + 1)[1:-1, None]
    phi = np.linspace(0, 2 * np.pi, segments, endpoint=False)[None, :]
    ring = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), np.cos(theta) + 0 * phi], -1)
    verts = np.concatenate([[[0, 0, 1]], ring.reshape(-1, 3), [[0, 0, -1]]]).astype(F32)
    at = lambda r, k: 1 + r * segments + k % segments  # noqa: E731
    faces = [(0, at(0, k), at(0, k + 1)) for k in range(segments)]
    for r in range(rings - 2):
        for k in range(segments):
            faces += [(at(r, k), at(r + 1, k), at(r + 1, k + 1)), (at(r, k), at(r + 1, k + 1), at(r, k + 1))]
    south = len(verts) - 1
    faces += [(at(rings - 2, k), south, at(rings - 2, k + 1)) for k in range(segments)]
    return verts, np.array(faces, np.uint32)


def doc_lines(text):
    return [line.strip() for line in text.splitlines()]


# ---------------------------------------------------------------- registration


def test_module_docstring_is_indented_with_a_blank_second_line():
    assert nolith_module.__doc__ == (
        "\n    GPU-accelerated Differentiable Winding Number Field library.\n\n"
        "    Compatible with any framework supporting DLPack / Array API\n"
        "    (PyTorch, JAX, CuPy, etc.). All inputs must reside on the same\n"
        "    CUDA device.\n    "
    )


def test_members_are_registered_in_order():
    names = [n for n in Engine.__dict__ if n == "__init__" or not n.startswith("__")]
    assert names == [
        "__init__", "solve_normals", "scaled_normals", "compute",
        "brute_force", "grad_scaled_normals", "grad_points", "dump",
    ]
    assert isinstance(Engine.__dict__["scaled_normals"], property)
    assert Engine.__dict__["scaled_normals"].fset is None


SIGNATURES = {
    "__init__": [
        "def __init__(self, triangles: Array[N, 3, 3; float32; cuda]) -> None",
        "def __init__(self, vertices: Array[M, 3; float32; cuda], "
        "triange_indices: Array[N, 3; uint32; cuda]) -> None",
        "def __init__(self, points: Array[N, 3; float32; cuda], "
        "normals: Array[N, 3; float32; cuda]) -> None",
    ],
    "solve_normals": [
        "def solve_normals(pc: Array[N, 3; float32; cuda], extra_points: Array[K, 3; float32; cuda], "
        "extra_wn: Array[K; float32; cuda], pc_wn: Optional[Array[N; float32; cuda]] = None, "
        "alpha_extra: float = 0.2) -> NolithEngine"
    ],
    "scaled_normals": ["@property\ndef scaled_normals(self) -> Array[N, 3]"],
    "compute": [
        "def compute(self, queries: Array[N, 3; flaot32; cuda], beta: float32 = -1, "
        "epsilon: float32 = -1, stream: uint64_t = 0) -> Array"
    ],
    "brute_force": [
        "def brute_force(self, queries: Array[N, 3; float32, cuda], epsilon: float32 = -1, "
        "stream: uint64_t = 0)-> Array"
    ],
    "grad_scaled_normals": [
        "def grad_scaled_normals(self, grad_output: Array[Q; float32; cuda]) "
        "-> Array[N, 3; float32; cuda]"
    ],
    "grad_points": [
        "def grad_points(self, grad_output: Array[Q; float32; cuda]) "
        "-> Array[N, 3; float32; cucda]"
    ],
    "dump": ["def dump(self) -> str"],
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature_headers(name):
    assert [sig for sig, _doc, _defaults in nb_signature(name)] == SIGNATURES[name]


# Sentences each docstring states verbatim (one entry per overload for __init__).
DOC_SENTENCES = {
    ("__init__", 0): [
        "Initialize the engine using a triangle soup.",
        "A (N, 3, 3) float32 CUDA array holding N triangles",
        "Note: Order the vertices counter-clockwise when seen from the front.",
    ],
    ("__init__", 1): [
        "Initialize the engine using a triangle soup with N Triangles using M shared vertices.",
        "A (M, 3) float32 CUDA array holding M vertices.",
        "A (N, 3) index array, where each row defines the three vertices of a triangle.",
        "Note: Order the vertices counter-clockwise when seen from the front.",
    ],
    ("__init__", 2): [
        "Initialize the engine using a point cloud with scaled normals.",
        "A (N, 3) float32 CUDA array of point positions.",
        "The scaled normal direction is the orientation,",
        "the scale the associated voronoi area.",
    ],
    ("solve_normals", 0): [
        "Solves for optimal scaled normals for a point cloud.",
        "If None, defaults to 0.5 for all points.",
        "Weighting factor for the 'extra_points' constraints relative to",
        "pc_wn (0.5) manifold. Default is 0.2.",
        "A new engine instance initialized with the point cloud and the solved normals.",
    ],
    ("scaled_normals", 0): [
        "Returns a copy of the scaled normals currently stored in the engine.",
        "(N, 3) float32 CUDA array.",
    ],
    ("compute", 0): [
        "Computes the winding number at the given query locations.",
        "Scalar that controlls the degree of approximation.",
        "Larger beta leads to more precise results, but also slower execution.",
        "Use any negative number to get default values.",
        "Default for point clouds is 2.0.",
        "Default flor triangles is 2.3",
        "Regularization scale (smoothing radius) used to prevent numerical",
        "Only applies to point cloud backends.",
        "- distance >= 2*epsilon: Acts as standard unregularized potential.",
        "- distance < 2*epsilon: Smoothly dampens potential to a finite maximum.",
        "Use any negative number to use the default value (1/250).",
        "The raw 64-bit identifier (handle) of a CUDA stream.",
        "For example, in PyTorch pass:",
        "`torch.cuda.current_stream().cuda_stream`",
        "Default is 0 (the default/null stream).",
        "(N,) float32 CUDA array holding the winding numbers.",
    ],
    ("brute_force", 0): [
        "Computes the winding numbers at the given query location with brute force on GPU.",
        "This is O(N^2) but precise.",
        "Regularization scale (smoothing radius) used to prevent numerical",
        "Use any negative number to use the default value (1/250).",
        "The raw 64-bit identifier (handle) of a CUDA stream.",
        "Default is 0 (the default/null stream).",
        "(N,) float32 CUDA array holding the winding numbers.",
    ],
    ("grad_scaled_normals", 0): [
        "Compute the Vector-Jacobian Product (VJP) for the scaled normals.",
        "(Q,) float32 CUDA array representing the gradient of the loss",
        "(N, 3) float32 CUDA array representing the gradient of the loss",
        "Calculated as: dL/dn = (dL/dw)^T * (dw/dn).",
    ],
    ("grad_points", 0): [
        "Compute the Vector-Jacobian Product (VJP) for the source point positions.",
        "For point clouds, this computes the gradient w.r.t. point positions.",
        "For meshes, this computes the gradient w.r.t triangle vertice positions.",
        "SUBJECT TO CHANGE",
    ],
    ("dump", 0): ["Returns a detailed string representation of the internal BVH8 Tree."],
}


@pytest.mark.parametrize("name,overload", DOC_SENTENCES)
def test_docstrings_state_their_sentences_in_numpy_sections(name, overload):
    doc = nb_signature(name)[overload][1]
    if name == "scaled_normals":
        assert Engine.scaled_normals.__doc__ == doc
    lines = doc_lines(doc)
    for sentence in DOC_SENTENCES[(name, overload)]:
        assert sentence in lines
    assert doc.startswith("    ")  # indented like the code around it
    for section in ("Parameters", "Returns", "Note"):
        if section in lines:
            assert lines[lines.index(section) + 1] == "-" * len(section)
    has_args = name not in ("scaled_normals", "dump")
    assert ("Parameters" in lines) == has_args
    assert ("Returns" in lines) == (name != "__init__")
    # Both describe triangle mode in a closing note.
    assert ("Note" in lines) == (name in ("scaled_normals", "grad_scaled_normals"))
    if name == "grad_scaled_normals":
        assert doc.rstrip().endswith("SUBJECT TO CHANGE")


# ---------------------------------------------------------------- overloads


def test_each_overload_prints_its_banner_and_picks_its_mode(dev, native_stdout):
    soup = Engine(dev.array(TRIANGLES))
    assert native_stdout().splitlines() == ["CreateFromTriangles!"]
    mesh = Engine(dev.array(VERTICES), triangle_indices=dev.array(INDICES))
    assert native_stdout().splitlines() == ["CreateFromMesh!"]
    # Two float32 (*, 3) arrays cannot be a mesh (indices are uint32).
    cloud = Engine(dev.array(POINTS), dev.array(NORMALS))
    assert native_stdout().splitlines() == ["CreateFromPoints!"]

    for engine in (soup, mesh):
        assert dev.numpy(engine.compute(dev.array(QUERIES))).shape == (5,)
        with pytest.raises(RuntimeError, match="^Normals are not explicitly stored for triangle based geometry.$"):
            engine.scaled_normals
    np.testing.assert_array_equal(dev.numpy(cloud.scaled_normals), NORMALS)


def test_keywords_follow_the_parameter_names(dev):
    Engine(triangles=dev.array(TRIANGLES))
    Engine(vertices=dev.array(VERTICES), triangle_indices=dev.array(INDICES))
    Engine(points=dev.array(POINTS), normals=dev.array(NORMALS))
    with pytest.raises(TypeError):
        Engine(dev.array(VERTICES), triange_indices=dev.array(INDICES))


def test_wrong_arguments_are_refused_with_what_is_wrong(dev, engine, native_stdout):
    # Nothing is converted or copied: each refusal names the argument, what
    # it must be and what it got, with the fix where there is an obvious one.
    cases = [
        (lambda: Engine(dev.array(TRIANGLES.astype(np.float64))),
         r"triangles must be float32, got float64: use \.(astype|to)\("),
        (lambda: Engine(dev.array(TRIANGLES.reshape(2, 9))), r"triangles must have shape \(N, 3, 3\), got \(2, 9\)"),
        (lambda: Engine(dev.array(VERTICES), dev.array(INDICES.astype(np.int32))),
         "triangle_indices must be uint32, got int32"),
        # What trimesh hands out: both problems in one message.
        (lambda: Engine(dev.array(VERTICES.astype(np.float64)), triangle_indices=dev.array(INDICES.astype(np.int64))),
         "vertices must be float32, got float64.*; triangle_indices must be uint32, got int64"),
        # Two float arrays are points and normals, not a mesh.
        (lambda: Engine(dev.array(POINTS), dev.array(NORMALS.astype(np.float64))), "normals must be float32"),
        (lambda: Engine(dev.array(POINTS), dev.array(NORMALS[:, :2])), r"normals must have shape \(N, 3\), got \(3, 2\)"),
        (lambda: Engine(dev.array(POINTS)[::2], dev.array(NORMALS)[::2]), "points must be C-contiguous"),
        (lambda: Engine([[0.0, 0.0, 0.0]]), "triangles must be a float32 array .* got list"),
        (lambda: engine.compute(dev.array(QUERIES.astype(np.float64))), "queries must be float32, got float64"),
        (lambda: engine.compute(dev.array(np.zeros((5, 6), F32))[:, :3]), "queries must be C-contiguous"),
        (lambda: engine.compute(dev.array(QUERIES.T)), r"queries must have shape \(Q, 3\), got \(3, 5\)"),
        (lambda: engine.brute_force(dev.array(QUERIES[:, :2])), r"queries must have shape \(Q, 3\)"),
        (lambda: engine.compute(dev.array(QUERIES), stream=-1), "stream must be a raw CUDA stream handle.*got -1"),
        (lambda: engine.brute_force(dev.array(QUERIES), stream=-1), "stream must be .*got -1"),
        (lambda: engine.compute(dev.array(QUERIES), stream=1.5), "stream must be .*got a float"),
        (lambda: engine.compute(dev.array(QUERIES), stream=2**64), "stream must be .*got 18446744073709551616"),
        (lambda: engine.brute_force(dev.array(QUERIES), beta=1.0), "incompatible function arguments"),
        (lambda: engine.grad_points(dev.array(np.zeros((4, 1), F32))), r"grad_output must have shape \(Q,\)"),
        (lambda: engine.grad_scaled_normals(dev.array(np.zeros(4, np.float64))), "grad_output must be float32"),
        (lambda: Engine.solve_normals(dev.array(POINTS), dev.array(QUERIES), dev.array(np.zeros(5)),
                                      pc_wn=dev.array(np.zeros(3, np.int32))),
         "extra_wn must be float32, got float64.*; pc_wn must be float32, got int32"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError, match=message):
            call()
    assert native_stdout() == ""  # nothing reached a factory


def test_read_only_arrays_are_used_in_place(dev, engine):
    def frozen(values):
        array = np.array(values)
        array.flags.writeable = False
        return dev.array(array) if dev.flavour == "cuda" else array

    Engine(frozen(TRIANGLES))
    Engine(frozen(VERTICES), frozen(INDICES))
    Engine(frozen(POINTS), frozen(NORMALS))
    queries = frozen(QUERIES)
    assert dev.numpy(engine.compute(queries)).shape == dev.numpy(engine.brute_force(queries)).shape == (5,)
    if dev.flavour == "host":  # a read-only buffer, as np.frombuffer and np.load(mmap_mode="r") give
        buffer = np.frombuffer(QUERIES.tobytes(), F32).reshape(5, 3)
        np.testing.assert_array_equal(dev.numpy(engine.compute(buffer)), dev.numpy(engine.compute(QUERIES)))


def test_builds_and_queries_let_other_threads_run(dev):
    import threading
    import time

    verts, idx = icosphere_like(60, 120)
    queries = dev.array(verts[::3])
    windows, ticks = [], []

    def timed(call):  # the interval spent inside one native call
        start = time.perf_counter()
        result = call()
        windows.append((start, time.perf_counter()))
        return result

    def work():
        engine = timed(lambda: Engine(dev.array(verts), dev.array(idx)))
        dev.numpy(timed(lambda: engine.brute_force(queries)))

    worker = threading.Thread(target=work)
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    for start, end in windows:
        # Holding the lock would stop the main thread for the whole call.
        moments = [start] + [t for t in ticks if start < t < end] + [end]
        longest_stop = max(b - a for a, b in zip(moments, moments[1:]))
        assert longest_stop < 0.75 * (end - start), f"main thread stopped {longest_stop:.3f} s of {end - start:.3f} s"


def test_arrays_of_the_other_flavour_are_refused_with_the_way_to_it(dev):
    assert nolith_module.flavour in ("cuda", "host")
    if dev.flavour == "host":
        torch = pytest.importorskip("torch")
        if not torch.cuda.is_available():
            pytest.skip("no CUDA array to pass")
        other, want = torch.zeros((2, 3, 3), device="cuda"), "the host flavour.*install the cuda flavour"
    else:
        other, want = TRIANGLES, "the cuda flavour.*install the host flavour"
    with pytest.raises(TypeError, match="^triangles must be .*got a (cuda|cpu) array: this nolith_module is " + want):
        Engine(other)


# ---------------------------------------------------------------- checks


def test_points_and_normals_must_have_equal_length(dev):
    with pytest.raises(RuntimeError, match="^Shape of points must be equal to shape of normals.$"):
        Engine(dev.array(POINTS), dev.array(NORMALS[:2]))


def test_mesh_indices_must_stay_below_the_vertex_count(dev):
    Engine(dev.array(VERTICES), dev.array(np.array([[0, 1, 3]], np.uint32)))
    with pytest.raises(RuntimeError) as raised:
        Engine(dev.array(VERTICES), dev.array(np.array([[0, 4, 1]], np.uint32)))
    assert str(raised.value) == INDEX_MESSAGE.format(4, 4)
    with pytest.raises(RuntimeError) as raised:
        Engine(dev.array(np.zeros((0, 3), F32)), dev.array(np.zeros((1, 3), np.uint32)))
    assert str(raised.value) == INDEX_MESSAGE.format(0, 0)


def test_non_finite_geometry_is_refused_and_a_non_finite_query_spoils_only_itself(dev):
    rng = np.random.default_rng(7)
    points = rng.uniform(-1, 1, (2000, 3)).astype(F32)
    normals = (rng.normal(size=(2000, 3)) * 1e-3).astype(F32)

    def spoiled(array, index, value):
        array = array.copy()
        array[index] = value
        return array

    verts, faces = icosphere_like(6, 8)
    extra = rng.uniform(-2, 2, (5, 3)).astype(F32)
    cases = [
        (lambda: Engine(dev.array(spoiled(points, 17, [np.nan, 0, 0])), dev.array(normals)),
         "points[17] is not finite: (nan, 0, 0)"),
        (lambda: Engine(dev.array(points), dev.array(spoiled(normals, 1999, [0, np.inf, 0]))),
         "normals[1999] is not finite: (0, inf, 0)"),
        (lambda: Engine(dev.array(spoiled(verts[faces], (3, 2, 1), -np.inf))),
         "triangles[3, 2] is not finite: ({:g}, -inf, {:g})".format(*verts[faces[3, 2]][[0, 2]])),
        # Of a mesh only the vertices that an index uses count.
        (lambda: Engine(dev.array(spoiled(spoiled(verts, 5, np.nan), -1, [1, 2, np.inf])), dev.array(faces)),
         "vertices[5] is not finite: (nan, nan, nan)"),
        (lambda: Engine.solve_normals(dev.array(spoiled(points, 3, np.nan)), dev.array(extra), dev.array(F32([0] * 5))),
         "pc[3] is not finite: (nan, nan, nan)"),
        (lambda: Engine.solve_normals(dev.array(points), dev.array(spoiled(extra, 4, [0, 0, np.inf])),
                                      dev.array(F32([0] * 5))), "extra_points[4] is not finite: (0, 0, inf)"),
        (lambda: Engine.solve_normals(dev.array(points), dev.array(extra), dev.array(F32([0, 0, np.nan, 0, 0]))),
         "extra_wn[2] is not finite: nan"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError) as refused:
            call()
        assert str(refused.value) == message
    unused = np.concatenate([verts, [[np.nan, 0, 0]]]).astype(F32)
    Engine(dev.array(unused), dev.array(faces))
    # A NaN query gets NaN, its warp-mates their values.
    engine = Engine(dev.array(points), dev.array(normals))
    queries = rng.uniform(-1, 1, (64, 3)).astype(F32)
    spoilt = spoiled(queries, 9, [np.nan, 0.5, 0.5])
    for method in (engine.compute, engine.brute_force):
        got, want = dev.numpy(method(dev.array(spoilt))), dev.numpy(method(dev.array(queries)))
        assert np.isnan(got[9]) and np.array_equal(np.delete(got, 9), np.delete(want, 9))


def test_solve_normals_checks_its_arguments(dev):
    pc, extra = dev.array(POINTS), dev.array(QUERIES)
    with pytest.raises(RuntimeError, match="^pc_wn must have one value per point.$"):
        Engine.solve_normals(pc, extra, dev.array(np.zeros(5, F32)), dev.array(np.zeros(4, F32)))
    with pytest.raises(RuntimeError, match="^extra_wn must have one value per extra point: 2 values for 5 points.$"):
        Engine.solve_normals(pc, extra, dev.array(np.zeros(2, F32)))
    solved = Engine.solve_normals(pc, extra, dev.array(np.zeros(5, F32)), pc_wn=None, alpha_extra=0.5)
    assert dev.numpy(solved.scaled_normals).shape == (3, 3)


def test_arrays_on_different_devices_are_refused(dev):
    dev.require_devices(2)
    on0, on1 = dev.array, lambda a: dev.array(a, device=1)
    cases = [
        (lambda: Engine(on0(VERTICES), on1(INDICES)),
         "Vertices and triangle_indices must be on the same CUDA device."),
        (lambda: Engine(on0(POINTS), on1(NORMALS[:2])),  # device before length
         "Points and Normals must be on the same CUDA device."),
        (lambda: Engine.solve_normals(on0(POINTS), on1(QUERIES), on0(np.zeros(5, F32))),
         "All input arrays must reside on the same CUDA device."),
        (lambda: Engine.solve_normals(on0(POINTS), on0(QUERIES), on1(np.zeros(5, F32))),
         "All input arrays must reside on the same CUDA device."),
        (lambda: Engine.solve_normals(on0(POINTS), on0(QUERIES), on0(np.zeros(5, F32)),
                                      on1(np.zeros(4, F32))),  # device before length
         "pc_wn must reside on the same CUDA device as pc."),
    ]
    engine = Engine(on1(TRIANGLES))
    queries_message = ("queries must reside on the engine's CUDA device (device 1), "
                       "but they are on device 0.")
    grad_message = ("grad_output must reside on the engine's CUDA device (device 1), "
                    "but it is on device 0.")
    cases += [
        (lambda: engine.compute(on0(QUERIES)), queries_message),
        (lambda: engine.brute_force(on0(QUERIES)), queries_message),
        (lambda: engine.grad_scaled_normals(on0(np.ones(5, F32))), grad_message),
        (lambda: engine.grad_points(on0(np.ones(5, F32))), grad_message),
    ]
    for call, message in cases:
        with pytest.raises(RuntimeError) as raised:
            call()
        assert str(raised.value) == message
    result = engine.compute(on1(QUERIES))
    assert result.__dlpack_device__() == (dev.dl_type, 1)


# ---------------------------------------------------------------- results


@pytest.mark.parametrize("method", ["compute", "brute_force"])
@pytest.mark.parametrize("count", [0, 1, 5, 33])
def test_results_hold_one_float32_per_query(dev, engine, method, count):
    queries = dev.array(np.resize(QUERIES, (count, 3)))
    result = getattr(engine, method)(queries)
    assert result.__dlpack_device__() == (dev.dl_type, 0)
    values = dev.numpy(result)
    assert values.dtype == np.float32
    assert values.shape == (count,)
    assert np.isfinite(values).all()


def test_scalar_arguments_accept_keywords_and_defaults(dev, engine):
    queries = dev.array(QUERIES)
    for result in [
        engine.compute(queries, 2.0, 0.01, 0),
        engine.compute(queries, beta=-5, epsilon=-1.0, stream=0),
        engine.compute(queries=queries, stream=0),
        engine.brute_force(queries, 0.01, 0),
        engine.brute_force(queries, epsilon=-3, stream=0),
    ]:
        assert dev.numpy(result).shape == (5,)


def test_result_outlives_its_engine(dev, engine):
    result = engine.compute(dev.array(QUERIES))
    exact = engine.brute_force(dev.array(QUERIES))
    before = dev.numpy(result).copy()
    del engine
    gc.collect()
    np.testing.assert_array_equal(dev.numpy(result), before)
    assert dev.numpy(exact).shape == (5,)


def test_results_on_a_caller_stream(dev, engine):
    # A handle that is no stream is refused by name before any work is queued.
    for method in (engine.compute, engine.brute_force):
        with pytest.raises(ValueError, match="stream 12345 is not a live CUDA stream"):
            method(dev.array(QUERIES), stream=12345)
    if dev.flavour != "cuda" or dev.cupy is None:
        return
    expected = dev.numpy(engine.brute_force(dev.array(QUERIES)))
    stream = dev.cupy.cuda.Stream(non_blocking=True)
    result = engine.brute_force(dev.array(QUERIES), stream=stream.ptr)
    stream.synchronize()
    np.testing.assert_array_equal(dev.numpy(result), expected)
    del result
    stream.synchronize()
    # A result made on a blocking stream is released on the legacy stream, so it may outlive its stream.
    blocking = dev.cupy.cuda.Stream(non_blocking=False)
    result = engine.brute_force(dev.array(QUERIES), stream=blocking.ptr)
    blocking.synchronize()
    del blocking
    gc.collect()
    np.testing.assert_array_equal(dev.numpy(result), expected)
    del result
    dev.cupy.cuda.runtime.deviceSynchronize()


@pytest.mark.parametrize(
    "make",
    [
        lambda dev: Engine(dev.array(np.zeros((0, 3, 3), F32))),
        lambda dev: Engine(dev.array(VERTICES), dev.array(np.zeros((0, 3), np.uint32))),
        lambda dev: Engine(dev.array(np.zeros((0, 3), F32)), dev.array(np.zeros((0, 3), F32))),
    ],
    ids=["soup", "mesh", "points"],
)
def test_empty_geometry_gives_zeros_and_an_empty_tree(dev, make):
    engine = make(dev)
    for result in [engine.compute(dev.array(QUERIES)), engine.brute_force(dev.array(QUERIES))]:
        np.testing.assert_array_equal(dev.numpy(result), np.zeros(5, F32))
    assert engine.dump() == "digraph BVH8 {\n}\n"


def test_dump_renders_a_digraph(engine):
    text = engine.dump()
    assert isinstance(text, str)
    assert text.startswith("digraph BVH8 {\n") and text.endswith("}\n")
