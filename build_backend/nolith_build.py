"""nolith's build backend: scikit-build-core, with what CUDA needs.

- Where the machine has no CUDA toolkit, NVIDIA's packages on PyPI become
  build requirements: the headers (cuda-headers.txt) for the host flavour,
  with nvcc (cuda-compiler.txt) for the cuda flavour. A build without
  isolation (pip install --no-build-isolation) installs nothing: install
  them yourself with pip install -r build_backend/cuda-compiler.txt.
- The flavour is settled here for pip builds, the same way CMake settles it
  (cmake/NolithFlavour.cmake): NOLITH_FLAVOUR=cuda|host when given, else
  cuda wherever nvcc is found, else host, said on standard error.
- The host flavour's wheels carry the local version label "+host", so that
  the two flavours' wheels of one release have different names.
"""

import importlib.util
import os
import shutil
import sys
from pathlib import Path

from scikit_build_core import build as _scikit_build

HERE = Path(__file__).resolve().parent

build_sdist = _scikit_build.build_sdist
get_requires_for_build_sdist = _scikit_build.get_requires_for_build_sdist


def _requirements(name):
    lines = (line.split("#")[0].strip() for line in (HERE / name).read_text().splitlines())
    return [line for line in lines if line and not line.startswith("-")] + (
        _requirements("cuda-headers.txt") if name == "cuda-compiler.txt" else []
    )


def _toolkit_roots():
    roots = [os.environ.get(name) for name in ("CUDAToolkit_ROOT", "CUDA_PATH", "CUDA_HOME")]
    return [Path(root) for root in roots if root] + [Path("/usr/local/cuda")]


def _system_nvcc():
    """The nvcc of an installed CUDA toolkit, found where CMake looks for it."""
    candidates = [os.environ.get("CUDACXX"), shutil.which("nvcc")]
    candidates += [str(root / "bin" / "nvcc") for root in _toolkit_roots()]
    return next((c for c in candidates if c and os.access(c, os.X_OK)), None)


def _system_headers():
    roots = _toolkit_roots()
    nvcc = _system_nvcc()
    if nvcc:
        roots.insert(0, Path(os.path.realpath(nvcc)).parent.parent)
    return any((root / "include" / "cuda_runtime.h").exists() for root in roots)


def _pypi_nvcc():
    """nvcc of the nvidia-cuda-nvcc package, when the build's Python has it."""
    nvidia = importlib.util.find_spec("nvidia")
    for path in (nvidia.submodule_search_locations or []) if nvidia else []:
        found = sorted(Path(path).glob("cu[0-9]*/bin/nvcc"))
        if found:
            return found[-1]
    return None


def _asked_flavour():
    flavour = os.environ.get("NOLITH_FLAVOUR", "auto")
    if flavour not in ("auto", "cuda", "host"):
        raise ValueError(f"NOLITH_FLAVOUR must be auto, cuda or host, not {flavour!r}")
    return flavour


def _cuda_requirements():
    if _asked_flavour() == "host":
        return [] if _system_headers() else _requirements("cuda-headers.txt")
    return [] if _system_nvcc() else _requirements("cuda-compiler.txt")


def resolve_flavour():
    """The flavour this build makes; passed on to CMake through NOLITH_FLAVOUR."""
    flavour = _asked_flavour()
    if flavour == "auto":
        flavour = "cuda" if _system_nvcc() or _pypi_nvcc() else "host"
        if flavour == "host":
            print("nolith: no nvcc found (no CUDA toolkit, no nvidia-cuda-nvcc package): building the HOST flavour, "
                  "which runs the kernels on the CPU. Set NOLITH_FLAVOUR=host to build it on purpose.", file=sys.stderr)
    os.environ["NOLITH_FLAVOUR"] = flavour
    return flavour


def dynamic_metadata(settings, project):
    """The version: the release, with "+host" for the host flavour."""
    label = "+host" if resolve_flavour() == "host" else ""
    return {"version": settings["release"] + label}


def get_requires_for_build_wheel(config_settings=None):
    return _scikit_build.get_requires_for_build_wheel(config_settings) + _cuda_requirements()


def get_requires_for_build_editable(config_settings=None):
    return _scikit_build.get_requires_for_build_editable(config_settings) + _cuda_requirements()


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    resolve_flavour()
    return _scikit_build.prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    resolve_flavour()
    return _scikit_build.prepare_metadata_for_build_editable(metadata_directory, config_settings)


def _per_flavour(config_settings):
    """One CMake build folder per flavour (their wheel tags are the same)."""
    settings = dict(config_settings or {})
    settings.setdefault("build-dir", f"build/py-{resolve_flavour()}-{{wheel_tag}}")
    return settings


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _scikit_build.build_wheel(wheel_directory, _per_flavour(config_settings), metadata_directory)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _scikit_build.build_editable(wheel_directory, _per_flavour(config_settings), metadata_directory)
