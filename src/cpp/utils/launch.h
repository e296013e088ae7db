#pragma once
// The one launch helper that every kernel wrapper uses, so that launches read
// the same in both flavours: `launch<kernel>(grid, block, shared, stream, args...)`.
// With nvcc it is the triple-chevron launch (or the cooperative launch); on
// the host it hands the kernel to the host runtime's scheduler. Arguments are
// converted to the kernel's parameter types first, as a real launch does.

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace nolith_cuda {

namespace detail {

template <typename Kernel>
struct KernelParameters;

template <typename... P>
struct KernelParameters<void (*)(P...)> {
    using Tuple = std::tuple<std::decay_t<P>...>;
};

#if !defined(__CUDACC__)
// The kernel's name as the compiler spells the template argument, for the
// host runtime's messages ("... [with auto Kernel = name; ...]").
template <auto Kernel>
const char* kernel_name() {
    // __PRETTY_FUNCTION__ is read here, not inside the lambda, whose own
    // signature would not name the template argument.
    static const std::string name = [](const std::string& pretty) {
        const std::string key = "Kernel = ";
        std::size_t begin = pretty.find(key);
        if (begin == std::string::npos) return pretty;
        begin += key.size();
        int depth = 0;
        std::size_t end = begin;
        for (; end < pretty.size(); ++end) {
            char c = pretty[end];
            if (c == '<' || c == '(') ++depth;
            if (c == '>' || c == ')') --depth;
            if (depth <= 0 && (c == ';' || c == ']')) break;
        }
        std::string result = pretty.substr(begin, end - begin);
        if (!result.empty() && result[0] == '&') result.erase(0, 1);
        return result;
    }(__PRETTY_FUNCTION__);
    return name.c_str();
}
#endif

template <auto Kernel, bool Cooperative, typename... Args>
cudaError_t launch_impl(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream, Args&&... args) {
    using Params = typename KernelParameters<decltype(Kernel)>::Tuple;
    Params params(std::forward<Args>(args)...);
    // Earlier failures were reported where they happened; clear them so that
    // the status read after this launch is the launch's own.
    (void)cudaGetLastError();
#if defined(__CUDACC__)
    if constexpr (Cooperative) {
        void* argv[std::tuple_size<Params>::value + 1] = {};
        std::apply([&argv](auto&... p) {
            int i = 0;
            ((argv[i++] = static_cast<void*>(&p)), ...);
        }, params);
        return cudaLaunchCooperativeKernel(reinterpret_cast<const void*>(Kernel), grid, block, argv, shared_bytes,
                                           stream);
    } else {
        std::apply([&](auto&... p) { Kernel<<<grid, block, shared_bytes, stream>>>(p...); }, params);
        return cudaPeekAtLastError();
    }
#else
    // The launch keeps its own copy of the arguments: it may run after this returns.
    return nolith_host::launch_kernel(kernel_name<Kernel>(), grid, block, shared_bytes, stream, Cooperative,
                                      [params]() { std::apply(Kernel, Params(params)); });
#endif
}

}  // namespace detail

// The block size of every kernel that has no reason for another.
constexpr unsigned kDefaultBlock = 256;

// The 1-D grid of `block`-thread blocks that covers `threads` threads
// (counted in 64 bits: a warp per packet may need more than 2^32 threads).
inline dim3 grid_1d(std::uint64_t threads, unsigned block) {
    return dim3(static_cast<unsigned>((threads + block - 1) / block));
}

// Queues Kernel on `stream`. The status is also left for cudaGetLastError,
// which the wrappers read and report.
template <auto Kernel, typename... Args>
cudaError_t launch(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream, Args&&... args) {
    return detail::launch_impl<Kernel, false>(grid, block, shared_bytes, stream, std::forward<Args>(args)...);
}

// Queues Kernel as a cooperative launch: every block of the grid is resident
// at once, so the kernel may synchronise the whole grid.
template <auto Kernel, typename... Args>
cudaError_t launch_cooperative(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream,
                               Args&&... args) {
    return detail::launch_impl<Kernel, true>(grid, block, shared_bytes, stream, std::forward<Args>(args)...);
}

}  // namespace nolith_cuda
