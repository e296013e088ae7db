"""Shared helpers for the Python tests.

The module is built in one of two flavours: `cuda` takes CUDA arrays, `host`
runs the same code on the CPU and takes NumPy arrays. The tests are written
once against the `Device` helper below, which makes engine-side arrays from
NumPy arrays and reads results back, whichever flavour is installed.
"""

import ctypes

import numpy as np
import pytest

import nolith_module

KDL_CPU = 1
KDL_CUDA = 2


class Device:
    """Moves NumPy data to where the engine wants it, and results back."""

    def __init__(self, flavour):
        self.flavour = flavour
        self.cupy = self.torch = None
        if flavour == "host":
            self.dl_type = KDL_CPU
            self.count = 1
            return
        self.dl_type = KDL_CUDA
        try:
            import cupy

            self.cupy = cupy
            self.count = cupy.cuda.runtime.getDeviceCount()
        except ImportError:
            import torch

            self.torch = torch
            self.count = torch.cuda.device_count()

    def array(self, values, device=0):
        values = np.ascontiguousarray(values)
        if self.flavour == "host":
            return values
        if self.cupy is not None:
            with self.cupy.cuda.Device(device):
                return self.cupy.asarray(values)
        return self.torch.from_numpy(values).to(f"cuda:{device}")

    def numpy(self, result):
        if self.flavour == "host":
            return np.from_dlpack(result)
        if self.cupy is not None:
            self.cupy.cuda.runtime.deviceSynchronize()
            return self.cupy.from_dlpack(result).get()
        self.torch.cuda.synchronize()
        return self.torch.from_dlpack(result).cpu().numpy()

    def require_devices(self, count):
        if self.flavour == "host" or self.count < count:
            pytest.skip(f"needs the cuda flavour with {count} CUDA devices")


@pytest.fixture(scope="session")
def dev():
    return Device(nolith_module.flavour)


@pytest.fixture
def native_stdout(capfd):
    """Returns what native code printed to fd 1 since the last call."""
    libc = ctypes.CDLL(None)

    def read():
        libc.fflush(None)  # banners are written through C stdio
        return capfd.readouterr().out

    read()
    return read


# Small valid geometry: two triangles, three oriented points, five queries.
TRIANGLES = np.array(
    [[[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 0, 1], [0, 1, 1], [1, 0, 1]]], dtype=np.float32
)
VERTICES = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], dtype=np.float32)
INDICES = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]], dtype=np.uint32)
POINTS = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=np.float32)
NORMALS = np.array([[0, 0, 0.5], [0, 0, 0.5], [0, 0, 0.5]], dtype=np.float32)
QUERIES = np.linspace(-1.0, 2.0, 15, dtype=np.float32).reshape(5, 3)


@pytest.fixture
def triangle_engine(dev):
    return nolith_module.NolithEngine(dev.array(TRIANGLES))


@pytest.fixture
def point_engine(dev):
    return nolith_module.NolithEngine(dev.array(POINTS), dev.array(NORMALS))


@pytest.fixture(params=["triangle", "point"])
def engine(request):
    return request.getfixturevalue(f"{request.param}_engine")
