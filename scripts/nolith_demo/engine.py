"""Running nolith from Python in either build flavour.

The `cuda` flavour takes CUDA arrays (CuPy, or PyTorch when CuPy is missing);
the `host` flavour runs the same kernels on the CPU and takes NumPy arrays.
`Backend` hides the difference: it makes engine-side arrays from NumPy arrays,
reads results back, and waits for queued work before a clock is read.
"""

import contextlib
import os
import platform
import statistics
import sys
import time

import numpy as np

import nolith_module

F32 = np.float32


@contextlib.contextmanager
def native_stdout_silenced():
    """Switches off the engine's own lines (banners, runtime-error reports)
    in nolith_module and, where loaded, the benchmarks' census module."""
    modules = [m for m in (nolith_module, sys.modules.get("nolith_census")) if m is not None]
    previous = [m._set_console_output(False) for m in modules]
    try:
        yield
    finally:
        for module, enabled in zip(modules, previous):
            module._set_console_output(enabled)


class Backend:
    def __init__(self, flavour=None):
        self.flavour = flavour or nolith_module.flavour
        self.cupy = self.torch = None
        if self.flavour == "cuda":
            try:
                import cupy

                self.cupy = cupy
            except ImportError:
                try:
                    import torch
                except ImportError:
                    raise RuntimeError("the cuda flavour of nolith needs CuPy or PyTorch") from None
                self.torch = torch

    @property
    def on_gpu(self):
        return self.flavour == "cuda"

    @property
    def array_library(self):
        return "CuPy" if self.cupy else "PyTorch" if self.torch else "NumPy"

    def describe(self):
        if self.cupy is not None:
            props = self.cupy.cuda.runtime.getDeviceProperties(self.cupy.cuda.Device().id)
            return props["name"].decode()
        if self.torch is not None:
            return self.torch.cuda.get_device_name()
        return f"CPU ({platform.machine()}, {os.cpu_count()} cores)"

    def array(self, values):
        values = np.ascontiguousarray(values)
        if self.cupy is not None:
            return self.cupy.asarray(values)
        if self.torch is not None:
            return self.torch.from_numpy(values).cuda()
        return values

    def numpy(self, result):
        if self.cupy is not None:
            return self.cupy.from_dlpack(result).get()
        if self.torch is not None:
            return self.torch.from_dlpack(result).cpu().numpy()
        return np.from_dlpack(result)

    def sync(self):
        if self.cupy is not None:
            self.cupy.cuda.runtime.deviceSynchronize()
        elif self.torch is not None:
            self.torch.cuda.synchronize()

    def median_time(self, call, repeats):
        """(median seconds, last result) of `repeats` runs of call(), each waited for."""
        times, result = [], None
        for _ in range(repeats):
            self.sync()
            start = time.perf_counter()
            result = call()
            self.sync()
            times.append(time.perf_counter() - start)
        return statistics.median(times), result

    def used_bytes(self):
        """Device memory in use (all processes), or None without a GPU."""
        if self.cupy is not None:
            self.sync()
            free, total = self.cupy.cuda.runtime.memGetInfo()
            return total - free
        if self.torch is not None:
            self.sync()
            free, total = self.torch.cuda.mem_get_info()
            return total - free
        return None


def build(backend, geometry):
    """An engine for a Mesh or PointCloud, and the seconds its build took."""
    arrays = [backend.array(a) for a in geometry.arrays()]
    backend.sync()
    start = time.perf_counter()
    engine = nolith_module.NolithEngine(*arrays)
    backend.sync()
    return engine, time.perf_counter() - start


def evaluate(backend, engine, method, queries, chunk, label=None, **options):
    """Runs engine.<method> over the queries in chunks; returns (values, seconds).

    `queries` is an engine-side (Q, 3) float32 array. Each chunk is waited
    for, so the seconds cover exactly the queued work, and a progress bar
    (tqdm, when installed and a terminal is attached) follows the chunks.
    """
    run = getattr(engine, method)
    total = len(queries)
    bar = _progress(total, label)
    results = []
    elapsed = 0.0
    for start in range(0, total, chunk):
        part = queries[start:start + chunk]
        backend.sync()
        tick = time.perf_counter()
        results.append(run(part, **options))
        backend.sync()
        elapsed += time.perf_counter() - tick
        if bar is not None:
            bar.update(len(part))
    if bar is not None:
        bar.close()
    values = np.concatenate([backend.numpy(r) for r in results]) if results else np.zeros(0, F32)
    return values, elapsed


def _progress(total, label):
    if label is None:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    # disable=None: a bar on a terminal, nothing in logs and pipes.
    return tqdm(total=total, desc=label, unit=" queries", unit_scale=True, leave=False,
                disable=None, dynamic_ncols=True)
