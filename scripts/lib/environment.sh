# Shared set-up steps of the scripts: system packages and the .venv.

export PATH="/usr/local/cuda/bin:${PATH}"

# The flavour the scripts build and test: NOLITH_FLAVOUR when set, else cuda
# where nvidia-smi lists a GPU, else host. (A plain pip install picks cuda
# wherever nvcc exists, GPU or not; on a machine without one the scripts
# want the flavour that can run its tests.)
if [ -z "${NOLITH_FLAVOUR:-}" ] || [ "$NOLITH_FLAVOUR" = auto ]; then
    if nvidia-smi -L 2>/dev/null | grep -q '^GPU'; then NOLITH_FLAVOUR=cuda; else NOLITH_FLAVOUR=host; fi
fi
export NOLITH_FLAVOUR

SYSTEM_PACKAGES=(cmake ninja-build g++ libboost-context-dev libgtest-dev libgmock-dev libbenchmark-dev)
PYTHON_PACKAGES=(nanobind scikit-build-core numpy pytest)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the given Debian packages (default: SYSTEM_PACKAGES) that are missing.
ensure_system_packages() {
    local wanted=("$@")
    [ ${#wanted[@]} -gt 0 ] || wanted=("${SYSTEM_PACKAGES[@]}")
    local missing=()
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing system packages: ${missing[*]}"
        as_root apt-get update -qq
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

pick_python() {
    local candidates=("${NOLITH_PYTHON:-}" "$HOME/.pyenv/versions/3.13.0/bin/python" python3.13 python3.12 python3)
    for c in "${candidates[@]}"; do
        [ -n "$c" ] || continue
        if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; sys.exit(sys.version_info < (3, 12))'; then
            command -v "$c"
            return
        fi
    done
    echo "no Python 3.12 or newer found (set NOLITH_PYTHON)" >&2
    return 1
}

ensure_venv() {
    if [ ! -x .venv/bin/python ]; then
        local python
        python=$(pick_python)
        echo "== creating .venv with $python"
        "$python" -m venv .venv
        .venv/bin/python -m pip install -q --upgrade pip
    fi
    .venv/bin/python -m pip install -q "${PYTHON_PACKAGES[@]}" "$@"
}

# What the Python tests add: PyTorch's and JAX's PyPI wheels (both import and
# take CPU arrays without a GPU), for the nolith_torch tests and the README's
# examples. PyTorch's wheel brings NVIDIA's CUDA libraries along (about 2.8 GB
# of downloads, 5.4 GB installed, 2.5 minutes here); without them it does not
# import.
TEST_PYTHON_PACKAGES=(torch jax)

ensure_test_packages() {
    .venv/bin/python -m pip install -q "${TEST_PYTHON_PACKAGES[@]}"
}

# The demo's extra Python packages (scripts/demo): plotting, mesh files, progress
# bars, nearest neighbours for point areas. The tests do not need them.
DEMO_PYTHON_PACKAGES=(matplotlib trimesh tqdm scipy)

ensure_demo_packages() {
    .venv/bin/python -m pip install -q "${DEMO_PYTHON_PACKAGES[@]}"
}
