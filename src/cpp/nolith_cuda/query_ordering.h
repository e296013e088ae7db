#pragma once
// Orders the engine after whatever a query (or a gradient) queued on the
// caller's stream, however the call leaves: kernels queued before an
// exception still read the tree, and a later free must wait for them.

#include <cuda_runtime.h>

namespace nolith_cuda {

template <typename Backend>
class QueryOrdering {
public:
    QueryOrdering(const Backend& backend, cudaStream_t caller) : backend_(backend), caller_(caller) {}
    ~QueryOrdering() { backend_.order_after(caller_); }
    QueryOrdering(const QueryOrdering&) = delete;
    QueryOrdering& operator=(const QueryOrdering&) = delete;

private:
    const Backend& backend_;
    cudaStream_t caller_;
};

}  // namespace nolith_cuda
