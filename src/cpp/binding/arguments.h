#pragma once
// Arguments of NolithEngine's members that either arrive exactly as the
// engine needs them or say what is wrong with them.
//
// nanobind picks an overload in two passes: first without conversions, then
// with. In the first pass an ArrayArgument takes only an array that already
// has the required element type, shape, C layout and device (read-only
// arrays included): it is used in place, never copied. In the second pass it
// takes any object and keeps it, so that the member can raise a TypeError
// naming the argument, what it needs and what it got, instead of nanobind's
// "incompatible function arguments". Nothing is ever converted or copied.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nolith_binding {

namespace nb = nanobind;

// The device of every array the modules take and give: host memory in the
// host flavour, CUDA memory in the cuda flavour.
#if defined(NOLITH_HOST_FLAVOUR)
using Device = nb::device::cpu;
constexpr const char* kFlavour = "host";
#else
using Device = nb::device::cuda;
constexpr const char* kFlavour = "cuda";
#endif

// Whether a floating-point array may be claimed in the second pass. Index
// arrays leave them to the other overloads, so that two float arrays passed
// positionally are diagnosed as points and normals, not as a mesh.
enum class Claim { Anything, NoFloatingPoint };

template <typename Array, Claim claim = Claim::Anything>
struct ArrayArgument {
    Array array;       // the array, when it fits
    nb::object given;  // what was passed, when it does not fit

    bool fits() const { return !given.is_valid(); }
};

// What an argument must be, for the message: e.g. {"vertices", "float32", "(M, 3)"}.
struct Expected {
    const char* name;
    const char* dtype;
    const char* shape;
};

// The problems of one argument that did not fit, as "name must ..., got ...:
// fix" sentences joined by "; ". Empty when nothing is wrong with it. Sets
// `other_flavour` when the array is one the other build flavour takes.
std::string describe_problems(const nb::handle given, const Expected& expected, int rank, const std::int64_t* extents,
                              bool& other_flavour);

// Collects the problems of a call's arguments and raises one TypeError
// listing all of them.
class ArgumentErrors {
public:
    template <typename Array, Claim claim>
    ArgumentErrors& check(const ArrayArgument<Array, claim>& argument, const Expected& expected) {
        if (!argument.fits()) {
            constexpr int rank = Array::Config::N;
            std::int64_t extents[rank > 0 ? rank : 1];
            Array::Config::Shape::put(extents);
            add(describe_problems(argument.given, expected, rank, extents, other_flavour_));
        }
        return *this;
    }
    ArgumentErrors& check_stream(nb::handle given);
    void raise_if_any() const;

private:
    void add(std::string problem);
    std::vector<std::string> problems_;
    bool other_flavour_ = false;
};

bool is_floating_point_array(nb::handle object);

// The raw CUDA stream handle of a query call: an integer in [0, 2^64).
// Anything else is kept for the message (a stream object instead of its
// handle is the common slip).
struct StreamHandle {
    std::uint64_t value = 0;
    nb::object given;
};

}  // namespace nolith_binding

namespace nanobind::detail {

template <typename Array, nolith_binding::Claim claim>
struct type_caster<nolith_binding::ArrayArgument<Array, claim>> {
    using Argument = nolith_binding::ArrayArgument<Array, claim>;
    NB_TYPE_CASTER(Argument, make_caster<Array>::Name)

    bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
        make_caster<Array> strict;
        if (strict.from_python(src, flags & ~uint32_t(cast_flags::convert), cleanup)) {
            value.array = std::move(strict.value);
            value.given = object();
            return true;
        }
        if (!(flags & cast_flags::convert)) return false;
        if (claim == nolith_binding::Claim::NoFloatingPoint && nolith_binding::is_floating_point_array(src)) {
            return false;
        }
        value.array = Array();
        value.given = borrow(src);
        return true;
    }

    static handle from_cpp(const Value&, rv_policy, cleanup_list*) noexcept { return none().release(); }
};

template <>
struct type_caster<nolith_binding::StreamHandle> {
    NB_TYPE_CASTER(nolith_binding::StreamHandle, const_name("int"))

    bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
        make_caster<std::uint64_t> strict;
        if (strict.from_python(src, flags & ~uint32_t(cast_flags::convert), cleanup)) {
            value.value = strict.value;
            value.given = object();
            return true;
        }
        if (!(flags & cast_flags::convert)) return false;
        value.given = borrow(src);
        return true;
    }

    static handle from_cpp(const Value& v, rv_policy, cleanup_list*) noexcept {
        return PyLong_FromUnsignedLongLong(v.value);
    }
};

}  // namespace nanobind::detail
