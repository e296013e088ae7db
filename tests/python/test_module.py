"""The module as a whole: its docstring, its own CUDA runtime whatever the
process loaded before, a clean exit with engines still alive, silencing its
console lines, and the README's examples for the installed flavour."""

import ctypes
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import nolith_module
from conftest import NORMALS, POINTS, QUERIES, TRIANGLES

# Runtime entry points the engine calls, in either flavour.
RUNTIME_NAMES = """cudaMalloc cudaMallocAsync cudaFree cudaFreeAsync cudaStreamCreate cudaStreamCreateWithFlags
    cudaStreamSynchronize cudaStreamDestroy cudaStreamWaitEvent cudaStreamQuery cudaEventCreate
    cudaEventCreateWithFlags cudaEventRecord cudaEventDestroy cudaEventSynchronize cudaEventQuery cudaMemcpy
    cudaMemcpyAsync cudaMemsetAsync cudaMemcpyToSymbolAsync cudaGetDevice cudaSetDevice cudaGetDeviceCount
    cudaGetLastError cudaPeekAtLastError cudaDeviceSynchronize cudaGetDeviceProperties cudaDeviceGetAttribute
    cudaPointerGetAttributes cudaOccupancyMaxActiveBlocksPerMultiprocessor cudaLaunchKernel
    cudaLaunchCooperativeKernel""".split()


def run_python(code, env=None):
    """Runs `code` in a fresh interpreter; returns (stdout, stderr)."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, cwd=os.path.dirname(__file__), timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


def test_module_docstring_names_the_library():
    lines = [line.strip() for line in nolith_module.__doc__.strip().splitlines()]
    assert lines[0] == "GPU-accelerated Differentiable Winding Number Field library."
    assert lines[1] == ""
    assert lines[2:] == [
        "Compatible with any framework supporting DLPack / Array API",
        "(PyTorch, JAX, CuPy, etc.). All inputs must reside on the same",
        "CUDA device.",
    ]


@pytest.mark.parametrize("loaded_first", ["a look-alike runtime", "torch"])
def test_the_module_calls_its_own_runtime_whatever_was_loaded_before(dev, tmp_path, loaded_first):
    # Every name resolves inside the module: none is exported for another
    # library's to take its place.
    module = ctypes.CDLL(nolith_module.__file__)
    assert [name for name in RUNTIME_NAMES if hasattr(module, name)] == []
    if loaded_first == "torch":
        pytest.importorskip("torch")
        preload = "import torch"
    else:
        # A library exporting the same names, each failing as a runtime without
        # a driver does, in the global scope before the module is loaded.
        compiler = shutil.which("cc") or shutil.which("gcc") or pytest.skip("no C compiler")
        source = tmp_path / "lookalike.c"
        source.write_text("".join(f"int {name}(void) {{ return 35; }}\n" for name in RUNTIME_NAMES))
        library = tmp_path / "liblookalike.so"
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
        preload = f"import ctypes; ctypes.CDLL({str(library)!r}, mode=ctypes.RTLD_GLOBAL)"
    engine = nolith_module.NolithEngine(dev.array(POINTS), dev.array(NORMALS))
    want = dev.numpy(engine.brute_force(dev.array(QUERIES))).tolist()
    out, _ = run_python(f"""
        {preload}
        import json, nolith_module
        from conftest import Device, NORMALS, POINTS, QUERIES
        dev = Device(nolith_module.flavour)
        nolith_module._set_console_output(False)
        engine = nolith_module.NolithEngine(dev.array(POINTS), dev.array(NORMALS))
        print(json.dumps(dev.numpy(engine.brute_force(dev.array(QUERIES))).tolist()))
    """)
    assert json.loads(out) == want


def test_engines_alive_at_exit_leave_stderr_clean():
    # One engine that nothing ever releases, one in an interpreter-wide
    # global, and (with torch) one held by an autograd graph alive at exit.
    _, err = run_python("""
        import ctypes, importlib.util, nolith_module
        from conftest import Device, NORMALS, POINTS, QUERIES
        dev = Device(nolith_module.flavour)
        held = nolith_module.NolithEngine(dev.array(POINTS), dev.array(NORMALS))
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(held))
        ENGINE = nolith_module.NolithEngine(dev.array(POINTS), dev.array(NORMALS))
        if importlib.util.find_spec("torch"):
            import torch
            from nolith_torch import winding_numbers
            device = "cuda" if dev.flavour == "cuda" else "cpu"
            normals = torch.tensor(NORMALS, device=device, requires_grad=True)
            engine = nolith_module.NolithEngine(dev.array(POINTS), normals.detach())
            GRAPH = winding_numbers(engine, torch.tensor(QUERIES, device=device),
                                    points=torch.tensor(POINTS, device=device), normals=normals)
            del engine
    """)
    assert err == ""


def test_console_lines_can_be_switched_off(dev, native_stdout):
    assert nolith_module._set_console_output(False) is True
    try:
        nolith_module.NolithEngine(dev.array(TRIANGLES))
        assert native_stdout() == ""
    finally:
        assert nolith_module._set_console_output(True) is False
    nolith_module.NolithEngine(dev.array(TRIANGLES))
    assert native_stdout() == "CreateFromTriangles!\n"


def test_readme_examples_of_this_flavour_run_as_written():
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    blocks = re.findall(r"```python\n# flavour: (\w+)[^\n]*\n(.*?)```", readme, re.S)
    mine = [code for flavour, code in blocks if flavour == nolith_module.flavour]
    assert mine, "no README example for this flavour"
    for code in mine:
        for library in re.findall(r"^import (torch|jax)", code, re.M):
            pytest.importorskip(library)
        out, _ = run_python(code)
        assert out.strip()
