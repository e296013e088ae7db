#include "binding/arguments.h"

#include <nanobind/stl/string.h>

#include <cstdio>
#include <stdexcept>

namespace nolith_binding {

namespace {

constexpr int kDLCPU = 1;
constexpr int kDLCUDA = 2;
#if defined(NOLITH_HOST_FLAVOUR)
constexpr int kEngineDeviceType = kDLCPU;  // the host flavour runs on the CPU
constexpr int kOtherFlavourDeviceType = kDLCUDA;
// Said once per call, after the arguments' problems.
constexpr const char* kOtherFlavourHint =
    "this nolith_module is the host flavour, which runs on the CPU and takes CPU arrays (NumPy and the like); "
    "for CUDA arrays install the cuda flavour: the nolith wheel, or pip install . where nvcc is available";
#else
constexpr int kEngineDeviceType = kDLCUDA;
constexpr int kOtherFlavourDeviceType = kDLCPU;
constexpr const char* kOtherFlavourHint =
    "this nolith_module is the cuda flavour, which takes CUDA arrays: move the data to the GPU "
    "(e.g. cupy.asarray(x) or torch.as_tensor(x, device='cuda')); for CPU arrays on a machine without a GPU "
    "install the host flavour: the nolith +host wheel, or NOLITH_FLAVOUR=host pip install .";
#endif

const char* device_name(int type) {
    switch (type) {
    case 1: return "cpu";
    case 2: return "cuda";
    case 3: return "cuda_host";
    case 4: return "opencl";
    case 7: return "vulkan";
    case 8: return "metal";
    case 10: return "rocm";
    case 13: return "cuda_managed";
    case 14: return "oneapi";
    default: return "unknown-device";
    }
}

std::string dtype_name(nb::dlpack::dtype t) {
    using Code = nb::dlpack::dtype_code;
    std::string kind;
    switch (static_cast<Code>(t.code)) {
    case Code::Int: kind = "int"; break;
    case Code::UInt: kind = "uint"; break;
    case Code::Float: kind = "float"; break;
    case Code::Bfloat: kind = "bfloat"; break;
    case Code::Complex: kind = "complex"; break;
    case Code::Bool: return "bool";
    default: kind = "dtype code " + std::to_string(t.code) + " of "; break;
    }
    return kind + std::to_string(t.bits) + (t.lanes > 1 ? "x" + std::to_string(t.lanes) : "");
}

std::string shape_text(const nb::ndarray<nb::ro>& a) {
    std::string text = "(";
    for (std::size_t i = 0; i < a.ndim(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(a.shape(i));
    }
    return text + (a.ndim() == 1 ? ",)" : ")");
}

bool shape_matches(const nb::ndarray<nb::ro>& a, int rank, const std::int64_t* extents) {
    if (static_cast<int>(a.ndim()) != rank) return false;
    for (int i = 0; i < rank; ++i) {
        if (extents[i] >= 0 && static_cast<std::int64_t>(a.shape(i)) != extents[i]) return false;
    }
    return true;
}

bool c_contiguous(const nb::ndarray<nb::ro>& a) {
    std::int64_t expected = 1;
    for (std::size_t i = a.ndim(); i-- > 0;) {
        if (a.shape(i) != 1 && a.stride(i) != expected) return false;
        expected *= static_cast<std::int64_t>(a.shape(i));
    }
    return true;
}

// The library an object comes from, by the module of its type.
enum class Library { NumPy, CuPy, Torch, Jax, Other };

Library library_of(nb::handle object) {
    const std::string module = nb::cast<std::string>(nb::getattr(object.type(), "__module__", nb::str("")));
    const auto starts = [&](const char* prefix) { return module.rfind(prefix, 0) == 0; };
    if (starts("numpy")) return Library::NumPy;
    if (starts("cupy")) return Library::CuPy;
    if (starts("torch")) return Library::Torch;
    if (starts("jax")) return Library::Jax;
    return Library::Other;
}

std::string astype_hint(Library library, const char* dtype) {
    const std::string d = dtype;
    switch (library) {
    case Library::NumPy: return "use .astype(np." + d + ")";
    case Library::CuPy: return "use .astype(cp." + d + ")";
    case Library::Torch: return "use .to(torch." + d + ")";
    case Library::Jax: return "use .astype(jnp." + d + ")";
    default: return "convert it to " + d;
    }
}

std::string contiguous_hint(Library library) {
    switch (library) {
    case Library::NumPy: return "use np.ascontiguousarray(...)";
    case Library::CuPy: return "use cp.ascontiguousarray(...)";
    case Library::Torch: return "use .contiguous()";
    default: return "make a C-contiguous copy";
    }
}

std::string type_name_of(nb::handle object) { return nb::cast<std::string>(nb::type_name(object.type())); }

}  // namespace

bool is_floating_point_array(nb::handle object) {
    nb::ndarray<nb::ro> any;
    if (!nb::try_cast(object, any, false)) return false;
    const auto code = static_cast<nb::dlpack::dtype_code>(any.dtype().code);
    return code == nb::dlpack::dtype_code::Float || code == nb::dlpack::dtype_code::Bfloat;
}

std::string describe_problems(const nb::handle given, const Expected& expected, int rank,
                              const std::int64_t* extents, bool& other_flavour) {
    const std::string name = expected.name;
    nb::ndarray<nb::ro> any;
    if (given.is_none() || !nb::try_cast(given, any, false)) {
        return name + " must be a " + expected.dtype + " array of shape " + expected.shape +
               " (NumPy, CuPy, PyTorch, JAX or any DLPack producer), got " + type_name_of(given);
    }
    const Library library = library_of(given);
    std::vector<std::string> found;
    if (any.device_type() != kEngineDeviceType) {
        found.push_back(name + " must be " + (kEngineDeviceType == kDLCPU ? "a CPU array" : "on a CUDA device") +
                        ", got a " + device_name(any.device_type()) + " array");
        if (any.device_type() == kOtherFlavourDeviceType) other_flavour = true;
    }
    const std::string given_dtype = dtype_name(any.dtype());
    if (given_dtype != expected.dtype) {
        found.push_back(name + " must be " + expected.dtype + ", got " + given_dtype + ": " +
                        astype_hint(library, expected.dtype));
    }
    if (!shape_matches(any, rank, extents)) {
        found.push_back(name + " must have shape " + expected.shape + ", got " + shape_text(any));
    } else if (!c_contiguous(any)) {
        found.push_back(name + " must be C-contiguous, got a strided view: " + contiguous_hint(library));
    }
    if (found.empty()) found.push_back(name + " was refused as a " + given_dtype + " array of shape " + shape_text(any));
    std::string text = found[0];
    for (std::size_t i = 1; i < found.size(); ++i) text += "; " + found[i];
    return text;
}

ArgumentErrors& ArgumentErrors::check_stream(nb::handle given) {
    if (!given.is_valid()) return *this;
    const std::string head = "stream must be a raw CUDA stream handle, an int from 0 to 2**64 - 1, got ";
    if (nb::hasattr(given, "cuda_stream")) {
        add(head + "a " + type_name_of(given) + ": pass its .cuda_stream");
    } else if (nb::hasattr(given, "ptr") && library_of(given) == Library::CuPy) {
        add(head + "a " + type_name_of(given) + ": pass its .ptr");
    } else if (nb::isinstance<nb::int_>(given)) {
        add(head + nb::cast<std::string>(nb::repr(given)));
    } else {
        add(head + "a " + type_name_of(given));
    }
    return *this;
}

void ArgumentErrors::add(std::string problem) {
    if (!problem.empty()) problems_.push_back(std::move(problem));
}

void ArgumentErrors::raise_if_any() const {
    if (problems_.empty()) return;
    std::string text = problems_[0];
    for (std::size_t i = 1; i < problems_.size(); ++i) text += "; " + problems_[i];
    if (other_flavour_) text += std::string(": ") + kOtherFlavourHint;
    throw nb::type_error(text.c_str());
}

}  // namespace nolith_binding
