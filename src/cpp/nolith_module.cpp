// The Python extension module nolith_module.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(nolith_module, m) {
    m.doc() =
        "\n    GPU-accelerated Differentiable Winding Number Field library.\n\n"
        "    Compatible with any framework supporting DLPack / Array API\n"
        "    (PyTorch, JAX, CuPy, etc.). All inputs must reside on the same\n"
        "    CUDA device.\n    ";
}
