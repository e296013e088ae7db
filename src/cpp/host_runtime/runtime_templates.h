#pragma once
// The C++ conveniences that cuda_runtime.h offers only to nvcc: symbol copies
// taking the symbol itself rather than its address.

#include <cuda_runtime.h>

template <class T>
inline cudaError_t cudaMemcpyToSymbol(const T& symbol, const void* src, size_t count, size_t offset = 0,
                                      cudaMemcpyKind kind = cudaMemcpyHostToDevice) {
    return ::cudaMemcpyToSymbol(static_cast<const void*>(&symbol), src, count, offset, kind);
}

template <class T>
inline cudaError_t cudaMemcpyToSymbolAsync(const T& symbol, const void* src, size_t count, size_t offset = 0,
                                           cudaMemcpyKind kind = cudaMemcpyHostToDevice, cudaStream_t stream = 0) {
    return ::cudaMemcpyToSymbolAsync(static_cast<const void*>(&symbol), src, count, offset, kind, stream);
}

template <class T>
inline cudaError_t cudaMemcpyFromSymbol(void* dst, const T& symbol, size_t count, size_t offset = 0,
                                        cudaMemcpyKind kind = cudaMemcpyDeviceToHost) {
    return ::cudaMemcpyFromSymbol(dst, static_cast<const void*>(&symbol), count, offset, kind);
}
