#pragma once
// Warp collectives and block barriers with GPU semantics. Each call is a
// sync point: the fiber deposits its value and yields until every thread that
// the collective names has arrived, then reads its own result. Misuse that a
// GPU would hang or corrupt on (a mask naming an exited lane, lanes waiting at
// different collectives, a barrier that not every thread reaches) aborts with
// the kernel, block and thread involved.

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace nolith_host {

enum class SyncKind : std::uint8_t {
    None,
    Shfl,
    ShflUp,
    ShflDown,
    ShflXor,
    Ballot,
    Any,
    All,
    SyncWarp,
    BlockBarrier,
    BlockBarrierCount,
    BlockBarrierAnd,
    BlockBarrierOr,
    GridSync,
};

const char* sync_kind_name(SyncKind kind);

// One warp collective for the calling lane; returns this lane's result.
std::uint64_t warp_collective(SyncKind kind, unsigned mask, std::uint64_t value, int arg, int width);

// One block-wide barrier (plain or reducing a predicate); returns the count,
// and or or of the predicates for the reducing kinds.
int block_barrier(SyncKind kind, int predicate);

// Grid-wide barrier of a cooperative launch.
void grid_sync();

// Whether the running kernel was launched cooperatively (grid sync allowed).
bool in_cooperative_launch();

// Lanes of the caller's warp that exist and have not exited.
unsigned live_lanes_mask();

template <typename T>
std::uint64_t to_payload(const T& value) {
    static_assert(std::is_trivially_copyable<T>::value && sizeof(T) <= 8,
                  "warp shuffles move trivially copyable values of at most 8 bytes");
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    return bits;
}

template <typename T>
T from_payload(std::uint64_t bits) {
    T value;
    std::memcpy(&value, &bits, sizeof(T));
    return value;
}

}  // namespace nolith_host

template <typename T>
inline T __shfl_sync(unsigned mask, T var, int src_lane, int width = 32) {
    using namespace nolith_host;
    return from_payload<T>(warp_collective(SyncKind::Shfl, mask, to_payload(var), src_lane, width));
}

template <typename T>
inline T __shfl_up_sync(unsigned mask, T var, unsigned delta, int width = 32) {
    using namespace nolith_host;
    return from_payload<T>(
        warp_collective(SyncKind::ShflUp, mask, to_payload(var), static_cast<int>(delta), width));
}

template <typename T>
inline T __shfl_down_sync(unsigned mask, T var, unsigned delta, int width = 32) {
    using namespace nolith_host;
    return from_payload<T>(
        warp_collective(SyncKind::ShflDown, mask, to_payload(var), static_cast<int>(delta), width));
}

template <typename T>
inline T __shfl_xor_sync(unsigned mask, T var, int lane_mask, int width = 32) {
    using namespace nolith_host;
    return from_payload<T>(warp_collective(SyncKind::ShflXor, mask, to_payload(var), lane_mask, width));
}

inline unsigned __ballot_sync(unsigned mask, int predicate) {
    using namespace nolith_host;
    return static_cast<unsigned>(warp_collective(SyncKind::Ballot, mask, predicate != 0, 0, 32));
}

inline int __any_sync(unsigned mask, int predicate) {
    using namespace nolith_host;
    return static_cast<int>(warp_collective(SyncKind::Any, mask, predicate != 0, 0, 32));
}

inline int __all_sync(unsigned mask, int predicate) {
    using namespace nolith_host;
    return static_cast<int>(warp_collective(SyncKind::All, mask, predicate != 0, 0, 32));
}

inline void __syncwarp(unsigned mask = 0xffffffffu) {
    using namespace nolith_host;
    warp_collective(SyncKind::SyncWarp, mask, 0, 0, 32);
}

inline unsigned __activemask() { return nolith_host::live_lanes_mask(); }

inline void __syncthreads() { nolith_host::block_barrier(nolith_host::SyncKind::BlockBarrier, 0); }

inline int __syncthreads_count(int predicate) {
    return nolith_host::block_barrier(nolith_host::SyncKind::BlockBarrierCount, predicate != 0);
}

inline int __syncthreads_and(int predicate) {
    return nolith_host::block_barrier(nolith_host::SyncKind::BlockBarrierAnd, predicate != 0);
}

inline int __syncthreads_or(int predicate) {
    return nolith_host::block_barrier(nolith_host::SyncKind::BlockBarrierOr, predicate != 0);
}
