#pragma once
// Device atomics, fences and cache-hinted loads for host execution. Blocks
// run in parallel on worker threads, so atomics are real read-modify-write
// operations on the (plain) device memory, sequentially consistent.

#include <cstdint>
#include <cstring>

namespace nolith_host {

template <typename T>
inline T atomic_fetch_add(T* address, T value) {
    return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);
}

// Floating-point read-modify-write through a compare-and-swap loop on the bits.
template <typename F, typename Bits, typename Op>
inline F atomic_float_update(F* address, Op op) {
    static_assert(sizeof(F) == sizeof(Bits), "bit container must match");
    Bits* bits = reinterpret_cast<Bits*>(address);
    Bits expected = __atomic_load_n(bits, __ATOMIC_SEQ_CST);
    for (;;) {
        F old_value;
        std::memcpy(&old_value, &expected, sizeof(F));
        F new_value = op(old_value);
        Bits desired;
        std::memcpy(&desired, &new_value, sizeof(F));
        if (__atomic_compare_exchange_n(bits, &expected, desired, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
            return old_value;
        }
    }
}

template <typename T, typename Op>
inline T atomic_int_update(T* address, Op op) {
    T expected = __atomic_load_n(address, __ATOMIC_SEQ_CST);
    while (!__atomic_compare_exchange_n(address, &expected, op(expected), false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
    return expected;
}

}  // namespace nolith_host

// Integer add, sub, exch, min, max, and, or, xor, CAS: the CUDA overload set.
#define NOLITH_HOST_INTEGER_ATOMICS(T)                                                        \
    inline T atomicAdd(T* a, T v) { return __atomic_fetch_add(a, v, __ATOMIC_SEQ_CST); }     \
    inline T atomicSub(T* a, T v) { return __atomic_fetch_sub(a, v, __ATOMIC_SEQ_CST); }     \
    inline T atomicExch(T* a, T v) { return __atomic_exchange_n(a, v, __ATOMIC_SEQ_CST); }   \
    inline T atomicAnd(T* a, T v) { return __atomic_fetch_and(a, v, __ATOMIC_SEQ_CST); }     \
    inline T atomicOr(T* a, T v) { return __atomic_fetch_or(a, v, __ATOMIC_SEQ_CST); }       \
    inline T atomicXor(T* a, T v) { return __atomic_fetch_xor(a, v, __ATOMIC_SEQ_CST); }     \
    inline T atomicMin(T* a, T v) {                                                           \
        return nolith_host::atomic_int_update(a, [v](T old) { return old < v ? old : v; });   \
    }                                                                                         \
    inline T atomicMax(T* a, T v) {                                                           \
        return nolith_host::atomic_int_update(a, [v](T old) { return old > v ? old : v; });   \
    }                                                                                         \
    inline T atomicCAS(T* a, T compare, T v) {                                                \
        __atomic_compare_exchange_n(a, &compare, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST); \
        return compare;                                                                       \
    }

NOLITH_HOST_INTEGER_ATOMICS(int)
NOLITH_HOST_INTEGER_ATOMICS(unsigned int)
NOLITH_HOST_INTEGER_ATOMICS(long long)
NOLITH_HOST_INTEGER_ATOMICS(unsigned long long)
#undef NOLITH_HOST_INTEGER_ATOMICS

inline unsigned short atomicCAS(unsigned short* a, unsigned short compare, unsigned short v) {
    __atomic_compare_exchange_n(a, &compare, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return compare;
}

inline float atomicAdd(float* a, float v) {
    return nolith_host::atomic_float_update<float, std::uint32_t>(a, [v](float old) { return old + v; });
}

inline double atomicAdd(double* a, double v) {
    return nolith_host::atomic_float_update<double, std::uint64_t>(a, [v](double old) { return old + v; });
}

inline float atomicExch(float* a, float v) {
    return nolith_host::atomic_float_update<float, std::uint32_t>(a, [v](float) { return v; });
}

// Wrapping increment and decrement as the hardware defines them.
inline unsigned atomicInc(unsigned* a, unsigned limit) {
    return nolith_host::atomic_int_update(a, [limit](unsigned old) { return old >= limit ? 0u : old + 1u; });
}

inline unsigned atomicDec(unsigned* a, unsigned limit) {
    return nolith_host::atomic_int_update(
        a, [limit](unsigned old) { return (old == 0u || old > limit) ? limit : old - 1u; });
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer does not model fences in instrumented code; the runtime,
// which is not instrumented, issues them.
namespace nolith_host {
void fence();
}
inline void __threadfence() { nolith_host::fence(); }
inline void __threadfence_block() { nolith_host::fence(); }
inline void __threadfence_system() { nolith_host::fence(); }
#else
inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_block() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_system() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#endif

// Cache-hinted loads and stores are plain memory accesses on the host.
template <typename T>
inline T __ldg(const T* p) { return *p; }
template <typename T>
inline T __ldcg(const T* p) { return *p; }
template <typename T>
inline T __ldca(const T* p) { return *p; }
template <typename T>
inline T __ldcs(const T* p) { return *p; }
template <typename T>
inline T __ldlu(const T* p) { return *p; }
template <typename T>
inline T __ldcv(const T* p) { return *p; }
template <typename T>
inline void __stcg(T* p, T v) { *p = v; }
template <typename T>
inline void __stcs(T* p, T v) { *p = v; }
template <typename T>
inline void __stwt(T* p, T v) { *p = v; }
