import nolith_module


def test_module_docstring_names_the_library():
    lines = [line.strip() for line in nolith_module.__doc__.strip().splitlines()]
    assert lines[0] == "GPU-accelerated Differentiable Winding Number Field library."
    assert lines[1] == ""
    assert lines[2:] == [
        "Compatible with any framework supporting DLPack / Array API",
        "(PyTorch, JAX, CuPy, etc.). All inputs must reside on the same",
        "CUDA device.",
    ]
