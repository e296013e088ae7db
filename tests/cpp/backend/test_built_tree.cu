// The finished tree of real builds, read back from the backend and checked
// against float64 computations from the caller's input: the BVH8's shape,
// packet and node bounds, centres, radii and expansions, for ordinary scenes
// and for inputs that stress the build (degenerate, out of range, non-finite,
// deep). The reference never uses the translation formulas or the build's
// intermediate records: every record is recomputed directly from the elements
// below it, about the centre the record stores. The build keeps bounds,
// radii and expansions in scene units (caller units times its power-of-two
// scene scale), and so does the check.
#include "gpu.h"
#include "host_runtime/testing.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"
#include "utils/finite_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using D3 = std::array<double, 3>;
using TriangleBackend = NolithBackend<Triangle>;
using PointBackend = NolithBackend<PointNormal>;

constexpr double kFloatUnit = 0x1p-24;          // float32 unit roundoff
constexpr double kHalfUnit = 0x1p-11;           // half unit roundoff (normal range)
constexpr double kBfloatUnit = 0x1p-8;          // bfloat16 unit roundoff
constexpr double kHalfSubnormalStep = 0x1p-25;  // largest rounding error below the normal half range
constexpr double kBfloatFloor = 1e-37;          // float denormals are flushed to zero
constexpr double kHalfMax = 65504.0;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kPairJ[6] = {0, 0, 0, 1, 1, 2};
constexpr int kPairK[6] = {0, 1, 2, 1, 2, 2};

// --------------------------------------------------------------- input

// One input element in float64, with the magnitudes that bound the float32
// rounding of everything the build derives from it.
struct Element {
    bool triangle = false;
    bool finite = true;
    std::array<D3, 3> v{};  // vertices; a point repeats its position
    D3 n{};                 // scaled normal
    D3 n_mag{};             // the products whose float rounding forms n (|n| for a point)
    D3 g{};                 // centroid or position
    D3 x_mag{};             // largest vertex magnitude per axis: offsets from a centre are
                            // computed in float from coordinates of this size
    double w = 0;           // centre-of-mass weight: area, or 1 for a point
    double w_mag = 0;       // bound on |w| and on the scale of its float rounding
};

Element make_triangle(const float* f) {
    Element e;
    e.triangle = true;
    for (int k = 0; k < 3; ++k) {
        for (int a = 0; a < 3; ++a) {
            e.v[k][a] = f[3 * k + a];
            e.finite = e.finite && std::isfinite(f[3 * k + a]);
        }
    }
    D3 e1, e2;
    for (int a = 0; a < 3; ++a) {
        e1[a] = e.v[1][a] - e.v[0][a];
        e2[a] = e.v[2][a] - e.v[0][a];
        e.g[a] = (e.v[0][a] + e.v[1][a] + e.v[2][a]) / 3.0;
        e.x_mag[a] = std::max({std::fabs(e.v[0][a]), std::fabs(e.v[1][a]), std::fabs(e.v[2][a])});
    }
    double mag2 = 0;
    for (int a = 0; a < 3; ++a) {
        const int b = (a + 1) % 3, c = (a + 2) % 3;
        e.n[a] = 0.5 * (e1[b] * e2[c] - e1[c] * e2[b]);
        e.n_mag[a] = 0.5 * (std::fabs(e1[b] * e2[c]) + std::fabs(e1[c] * e2[b]));
        mag2 += e.n_mag[a] * e.n_mag[a];
    }
    e.w = std::sqrt(e.n[0] * e.n[0] + e.n[1] * e.n[1] + e.n[2] * e.n[2]);
    e.w_mag = std::sqrt(mag2);
    return e;
}

Element make_point(const float* p, const float* n) {
    Element e;
    for (int a = 0; a < 3; ++a) {
        e.v[0][a] = e.v[1][a] = e.v[2][a] = e.g[a] = p[a];
        e.n[a] = n[a];
        e.n_mag[a] = std::fabs(e.n[a]);
        e.x_mag[a] = std::fabs(e.g[a]);
        e.finite = e.finite && std::isfinite(p[a]) && std::isfinite(n[a]);
    }
    e.w = e.w_mag = 1.0;
    return e;
}

// The element in scene units: lengths times s, areas times s^2 (exact, s is
// a power of two). A point's weight stays 1.
Element in_scene_units(Element e, double s) {
    for (D3& x : e.v)
        for (double& c : x) c *= s;
    for (int a = 0; a < 3; ++a) {
        e.n[a] *= s * s;
        e.n_mag[a] *= s * s;
        e.g[a] *= s;
        e.x_mag[a] *= s;
    }
    if (e.triangle) {
        e.w *= s * s;
        e.w_mag *= s * s;
    }
    return e;
}

// A scene as the caller hands it over: a triangle soup, an indexed mesh or
// an oriented point cloud, with its elements in input order.
struct Scene {
    enum Kind { Soup, Mesh, Points } kind = Soup;
    std::vector<float> a;  // triangles, vertices or positions
    std::vector<float> b;  // normals of a point cloud
    std::vector<unsigned> indices;

    std::size_t count() const {
        return kind == Soup ? a.size() / 9 : kind == Mesh ? indices.size() / 3 : a.size() / 3;
    }
    std::vector<Element> elements() const {
        std::vector<Element> out;
        for (std::size_t e = 0; e < count(); ++e) {
            if (kind == Soup) {
                out.push_back(make_triangle(&a[9 * e]));
            } else if (kind == Mesh) {
                float t[9];
                for (int k = 0; k < 3; ++k) {
                    for (int c = 0; c < 3; ++c) t[3 * k + c] = a[3 * indices[3 * e + k] + c];
                }
                out.push_back(make_triangle(t));
            } else {
                out.push_back(make_point(&a[3 * e], &b[3 * e]));
            }
        }
        return out;
    }
};

template <typename T>
struct DeviceArray {
    explicit DeviceArray(const std::vector<T>& values) {
        if (values.empty()) return;
        cudaMalloc(reinterpret_cast<void**>(&data), values.size() * sizeof(T));
        cudaMemcpy(data, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice);
    }
    ~DeviceArray() { cudaFree(data); }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    T* data = nullptr;
};

std::unique_ptr<TriangleBackend> build_triangles(const Scene& scene) {
    const DeviceArray<float> a(scene.a);
    if (scene.kind == Scene::Soup) return TriangleBackend::CreateFromTriangles(a.data, scene.count(), 0);
    const DeviceArray<unsigned> indices(scene.indices);
    return TriangleBackend::CreateFromMesh(a.data, scene.a.size() / 3, indices.data, scene.count(), 0);
}

std::unique_ptr<PointBackend> build_points(const Scene& scene) {
    const DeviceArray<float> a(scene.a), b(scene.b);
    return PointBackend::CreateFromPoints(a.data, b.data, scene.count(), 0);
}

// ------------------------------------------------------------- scenes

std::vector<float> uniform(std::size_t count, float lo, float hi, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> values(count);
    for (float& v : values) v = dist(rng);
    return values;
}

// Small triangles (edges up to `size`) scattered over the cube of half width `extent`.
Scene random_soup(std::size_t n, unsigned seed, float extent = 1.0f, float size = 0.15f) {
    Scene s;
    const std::vector<float> centres = uniform(3 * n, -extent, extent, seed);
    const std::vector<float> offsets = uniform(9 * n, -size, size, seed + 1);
    s.a.resize(9 * n);
    for (std::size_t e = 0; e < n; ++e) {
        for (int k = 0; k < 9; ++k) s.a[9 * e + k] = centres[3 * e + k % 3] + offsets[9 * e + k];
    }
    return s;
}

Scene random_cloud(std::size_t n, unsigned seed, float extent = 1.0f) {
    Scene s;
    s.kind = Scene::Points;
    s.a = uniform(3 * n, -extent, extent, seed);
    s.b = uniform(3 * n, -0.1f, 0.1f, seed + 1);
    return s;
}

// A closed, outward-facing latitude-longitude sphere as an indexed mesh.
Scene uv_sphere(int rings, int segments) {
    Scene s;
    s.kind = Scene::Mesh;
    const double pi = 3.14159265358979323846;
    s.a = {0.0f, 0.0f, 1.0f};
    for (int r = 1; r < rings; ++r) {
        for (int k = 0; k < segments; ++k) {
            const double theta = pi * r / rings, phi = 2 * pi * k / segments;
            s.a.push_back(static_cast<float>(std::sin(theta) * std::cos(phi)));
            s.a.push_back(static_cast<float>(std::sin(theta) * std::sin(phi)));
            s.a.push_back(static_cast<float>(std::cos(theta)));
        }
    }
    s.a.insert(s.a.end(), {0.0f, 0.0f, -1.0f});
    const unsigned south = static_cast<unsigned>(s.a.size() / 3 - 1);
    const auto ring = [&](int r, int k) { return 1u + unsigned((r - 1) * segments + (k % segments)); };
    for (int k = 0; k < segments; ++k) s.indices.insert(s.indices.end(), {0u, ring(1, k), ring(1, k + 1)});
    for (int r = 1; r + 1 < rings; ++r) {
        for (int k = 0; k < segments; ++k) {
            s.indices.insert(s.indices.end(), {ring(r, k), ring(r + 1, k), ring(r + 1, k + 1)});
            s.indices.insert(s.indices.end(), {ring(r, k), ring(r + 1, k + 1), ring(r, k + 1)});
        }
    }
    for (int k = 0; k < segments; ++k) {
        s.indices.insert(s.indices.end(), {ring(rings - 1, k), south, ring(rings - 1, k + 1)});
    }
    return s;
}

// --------------------------------------------------------- the read-back

struct Snapshot {
    std::size_t n = 0, leaves = 0, nodes = 0;
    std::uint32_t levels = 0;
    double scene_scale = 1;       // centres below are converted to scene units with it
    D3 origin{};                  // box corners are stored relative to it (scene units)
    std::vector<unsigned> order;  // input index of each sorted element
    std::vector<PacketRange> packets;
    std::vector<AABB> aabbs;      // internal binary records, then the packets
    std::vector<BVH8Node> bvh;
    std::vector<LeafPointers> pointers;
    std::vector<TailorCoefficientsF16> node_coefficients, leaf_coefficients;
    std::vector<TailorCoefficientsTraceFree> node_far_field, leaf_far_field;

    const AABB& packet(std::size_t p) const { return aabbs[leaves - 1 + p]; }
};

template <typename T>
std::vector<T> read_back(const T* device, std::size_t count) {
    std::vector<T> host(count);
    if (count > 0) EXPECT_EQ(cudaMemcpy(host.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
}

template <typename Geometry>
Snapshot snapshot(const NolithBackend<Geometry>& backend) {
    EXPECT_EQ(cudaEventSynchronize(backend.build_done()), cudaSuccess);
    Snapshot s;
    s.n = backend.point_count();
    s.leaves = backend.packets_count();
    s.levels = backend.levels();
    s.order = read_back(backend.sorted_indices_data(), s.n);
    s.packets = read_back(backend.packets_data(), s.leaves);
    s.aabbs = read_back(backend.node_aabbs_data(), 2 * s.leaves - 1);
    s.leaf_coefficients = read_back(backend.leaf_coefficients_data(), s.leaves);
    s.leaf_far_field = read_back(backend.leaf_far_field_data(), s.leaves);
    s.nodes = read_back(backend.bvh8_node_count_data(), 1).at(0);
    const std::size_t readable = std::min(s.nodes, s.leaves - 1);  // never past the allocations
    s.bvh = read_back(backend.bvh8_nodes_data(), readable);
    s.pointers = read_back(backend.leaf_pointers_data(), readable);
    s.node_coefficients = read_back(backend.node_coefficients_data(), readable);
    s.node_far_field = read_back(backend.node_far_field_data(), readable);
    s.scene_scale = backend.scene_scale();
    const float scale = backend.scene_scale();
    for (int a = 0; a < 3; ++a) s.origin[a] = backend.scene_lower()[a] * scale;
    for (AABB& b : s.aabbs) b.com = b.com * scale;
    for (BVH8Node& b : s.bvh) b.com = b.com * scale;
    return s;
}

// Collects failed checks, so that one broken stage reports a few examples and
// a count instead of thousands of lines.
class Findings {
public:
    std::ostringstream& add() {
        ++count_;
        current_.str("");
        return current_;
    }
    void commit() {
        if (examples_.size() < 12) examples_.push_back(current_.str());
    }
    ~Findings() {
        if (count_ == 0) return;
        std::ostringstream all;
        all << count_ << " failed checks; the first ones:";
        for (const std::string& e : examples_) all << "\n  " << e;
        ADD_FAILURE() << all.str();
    }

private:
    std::size_t count_ = 0;
    std::ostringstream current_;
    std::vector<std::string> examples_;
};

#define CHECK_THAT(findings, condition, message)  \
    do {                                          \
        if (!(condition)) {                       \
            (findings).add() << message;          \
            (findings).commit();                  \
        }                                         \
    } while (0)

// ---------------------------------------------------------- structure

struct Layout {
    bool valid = false;
    std::vector<std::uint32_t> holder;  // per packet: the node with its slot
    std::vector<std::uint32_t> parent;  // per node; INVALID_INDEX for the root
    std::vector<unsigned> height;       // per node: its levels down to its deepest descendant
    std::uint32_t depth = 0;            // levels from the root, root included
};

// The packets tile the sorted elements in order, 1 to 32 elements each.
bool check_packets(const Snapshot& s, Findings& f) {
    std::size_t next = 0;
    bool sound = s.leaves >= 1;
    for (std::size_t p = 0; p < s.packets.size(); ++p) {
        const PacketRange& range = s.packets[p];
        const bool ok = range.first == next && range.count >= 1 && range.count <= ELEMENTS_PER_LEAF;
        CHECK_THAT(f, ok, "packet " << p << " holds " << range.first << " + " << range.count << ", expected " << next
                                    << " + 1..32");
        sound = sound && ok;
        next = std::size_t(range.first) + range.count;
    }
    CHECK_THAT(f, next == s.n, "the packets end at element " << next << " of " << s.n);
    return sound && next == s.n;
}

// Walks the tree level by level from the root: each level's internal children
// must fill the next index range exactly, each node having one parent, and
// every packet must sit in exactly one slot.
Layout check_structure(const Snapshot& s, Findings& f) {
    Layout layout;
    if (!check_packets(s, f)) return layout;
    const std::size_t L = s.leaves, K = s.nodes;
    if (L == 1) {
        CHECK_THAT(f, K == 0 && s.levels == 0, "a single packet has no node; count " << K << ", levels " << s.levels);
        layout.valid = K == 0;
        layout.holder.assign(1, INVALID_INDEX);
        return layout;
    }
    if (K < 1 || K > L - 1) {
        CHECK_THAT(f, false, "node count " << K << " outside 1.." << L - 1);
        return layout;
    }
    layout.holder.assign(L, INVALID_INDEX);
    layout.parent.assign(K, INVALID_INDEX);
    layout.height.assign(K, 1);
    bool sound = true;
    std::size_t begin = 0, end = 1;
    while (begin < end) {
        ++layout.depth;
        std::size_t children = 0, highest = end;
        for (std::size_t v = begin; v < end; ++v) {
            const BVH8Node& node = s.bvh[v];
            int occupied = 0;
            while (occupied < 8 && node.getChildMeta(occupied) != Empty) ++occupied;
            bool meta_ok = occupied >= 2;
            for (int slot = 0; slot < 8; ++slot) {
                const ChildType type = node.getChildMeta(slot);
                meta_ok = meta_ok && type != 3 && (slot < occupied) == (type != Empty);
            }
            CHECK_THAT(f, meta_ok, "node " << v << ": child_meta 0x" << std::hex << node.child_meta << std::dec
                                           << " is not 2..8 occupied slots followed by empty ones");
            std::uint32_t rank = 0;
            for (int slot = 0; slot < 8; ++slot) {
                const ChildType type = node.getChildMeta(slot);
                const std::uint32_t pointer = s.pointers[v].leaf_index[slot];
                if (type == Leaf) {
                    if (pointer >= L) {
                        CHECK_THAT(f, false, "node " << v << " slot " << slot << ": packet " << pointer << " >= " << L);
                        sound = false;
                        continue;
                    }
                    CHECK_THAT(f, layout.holder[pointer] == INVALID_INDEX,
                               "packet " << pointer << " in node " << layout.holder[pointer] << " and node " << v);
                    sound = sound && layout.holder[pointer] == INVALID_INDEX;
                    layout.holder[pointer] = static_cast<std::uint32_t>(v);
                    continue;
                }
                CHECK_THAT(f, pointer == INVALID_INDEX,
                           "node " << v << " slot " << slot << " is not a leaf but points to " << pointer);
                if (type != Internal) continue;
                const std::size_t child = std::size_t(node.first_child) + rank++;
                if (child < end || child >= K || layout.parent[child] != INVALID_INDEX) {
                    CHECK_THAT(f, false, "node " << v << " slot " << slot << ": child " << child
                                                 << " is not an unclaimed node of the next level (from " << end
                                                 << ", count " << K << ")");
                    sound = false;
                    continue;
                }
                layout.parent[child] = static_cast<std::uint32_t>(v);
                highest = std::max(highest, child + 1);
                ++children;
            }
        }
        // Distinct children, all at or after `end`: they fill [end, end + children) iff none lies beyond.
        CHECK_THAT(f, highest == end + children,
                   "level " << layout.depth << ": " << children << " children spread up to node " << highest - 1
                            << " from node " << end);
        sound = sound && highest == end + children;
        if (!sound) return layout;
        begin = end;
        end += children;
    }
    CHECK_THAT(f, end == K, "the levels hold " << end << " nodes, the count says " << K);
    for (std::size_t p = 0; p < L; ++p) {
        CHECK_THAT(f, layout.holder[p] != INVALID_INDEX, "packet " << p << " is in no slot");
        sound = sound && layout.holder[p] != INVALID_INDEX;
    }
    CHECK_THAT(f, layout.depth == s.levels, "levels() is " << s.levels << ", the tree has " << layout.depth);
    for (std::size_t v = K; v-- > 1;) {
        const std::uint32_t up = layout.parent[v];
        layout.height[up] = std::max(layout.height[up], layout.height[v] + 1);
    }
    layout.valid = sound && end == K;
    return layout;
}

// ------------------------------------------------ expansions in float64

struct Coeffs {
    double z[3] = {}, m[9] = {}, t[18] = {};
    Coeffs& operator+=(const Coeffs& o) {
        for (int i = 0; i < 3; ++i) z[i] += o.z[i];
        for (int i = 0; i < 9; ++i) m[i] += o.m[i];
        for (int i = 0; i < 18; ++i) t[i] += o.t[i];
        return *this;
    }
};

// The element's terms about centre c. With `inflate`, every offset from c is
// replaced by |offset| + inflate and the normal by its magnitude bound: the
// sizes of the values the float computation handles, which bound its rounding.
Coeffs element_terms(const Element& e, const D3& c, const D3* inflate = nullptr) {
    const auto offset = [&](const D3& x, int a) {
        const double o = x[a] - c[a];
        return inflate ? std::fabs(o) + (*inflate)[a] : o;
    };
    const D3& n = inflate ? e.n_mag : e.n;
    const D3 d{offset(e.g, 0), offset(e.g, 1), offset(e.g, 2)};
    double s[3][3];
    if (e.triangle) {
        D3 mids[3];
        for (int a = 0; a < 3; ++a) {
            mids[0][a] = 0.5 * (e.v[0][a] + e.v[1][a]);
            mids[1][a] = 0.5 * (e.v[1][a] + e.v[2][a]);
            mids[2][a] = 0.5 * (e.v[0][a] + e.v[2][a]);
        }
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                s[j][k] = 0;
                for (const D3& mid : mids) s[j][k] += offset(mid, j) * offset(mid, k);
                s[j][k] /= 3.0;
            }
        }
    } else {
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) s[j][k] = d[j] * d[k];
        }
    }
    Coeffs r;
    for (int i = 0; i < 3; ++i) r.z[i] = n[i];
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) r.m[3 * row + col] = d[row] * n[col];
    }
    for (int pair = 0; pair < 6; ++pair) {
        for (int i = 0; i < 3; ++i) r.t[3 * pair + i] = 0.5 * s[kPairJ[pair]][kPairK[pair]] * n[i];
    }
    return r;
}

// Everything the input says about one record (a packet or a node): the
// reference values about the record's stored centre, and the magnitudes that
// bound how far the build's float computation may stray from them.
struct Expected {
    Coeffs ref;
    Coeffs float_mag;   // offsets about the packet centres, inflated by the path's shifts and coordinate size
    Coeffs leaf_round;  // nodes: the packets' rounding to half and bfloat16, carried up by the shifts
    double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
    D3 weighted{};  // sum of w g
    double weight = 0;
    D3 centroid_sum{};  // sum of g, for a record without weight
    std::size_t element_count = 0;
    std::size_t zero_weight_elements = 0;  // in packets without weight
    D3 weighted_mag{};  // sum of w_mag x_mag
    double weight_mag = 0;
    std::size_t zero_weight_packets = 0;
    double radius = 0;
    std::size_t packets = 0, first_packet = SIZE_MAX, last_packet = 0;
    bool finite = true;
    bool leaf_overflow_z = false, leaf_overflow_m = false;  // a packet's record went beyond the half range

    // Adds the elements of packet p about this record's centre c; `path` is
    // the sum of |shift| along the climb from the packet.
    void add_packet(const std::vector<const Element*>& elements, std::size_t p, const D3& packet_com, const D3& c,
                    const D3& path) {
        ++packets;
        first_packet = std::min(first_packet, p);
        last_packet = std::max(last_packet, p);
        double packet_weight = 0;
        for (const Element* e : elements) {
            finite = finite && e->finite;
            ref += element_terms(*e, c);
            D3 inflate;
            for (int a = 0; a < 3; ++a) inflate[a] = path[a] + e->x_mag[a];
            float_mag += element_terms(*e, packet_com, &inflate);
            for (int a = 0; a < 3; ++a) {
                for (const D3& x : e->v) {
                    lo[a] = std::min(lo[a], x[a]);
                    hi[a] = std::max(hi[a], x[a]);
                }
                weighted[a] += e->w * e->g[a];
                weighted_mag[a] += e->w_mag * e->x_mag[a];
                centroid_sum[a] += e->g[a];
            }
            ++element_count;
            packet_weight += e->w;
            weight_mag += e->w_mag;
            for (const D3& x : e->v) {
                const double dx = x[0] - c[0], dy = x[1] - c[1], dz = x[2] - c[2];
                radius = std::max(radius, std::sqrt(dx * dx + dy * dy + dz * dz));
            }
        }
        weight += packet_weight;
        zero_weight_packets += packet_weight == 0.0;
        if (packet_weight == 0.0) zero_weight_elements += elements.size();
    }

    // A node takes packet p's stored record, which is off by its rounding
    // error (relative to the packet's float value `packet.ref` +- `slack`,
    // plus half a subnormal step below the normal half range), and shifts it
    // by t = packet centre - c: M' = M + t n, T' = T + (t M + M t) / 2 + t t n / 2.
    void add_packet_rounding(const Expected& packet, double slack_units, const D3& packet_com, const D3& c) {
        D3 t;
        for (int a = 0; a < 3; ++a) t[a] = std::fabs(packet_com[a] - c[a]);
        const auto error = [&](double ref, double mag, double unit, double floor) {
            return unit * (std::fabs(ref) + slack_units * kFloatUnit * mag) + floor;
        };
        double ez[3], em[9];
        for (int i = 0; i < 3; ++i) {
            ez[i] = error(packet.ref.z[i], packet.float_mag.z[i], kHalfUnit, kHalfSubnormalStep);
            leaf_round.z[i] += ez[i];
        }
        for (int i = 0; i < 9; ++i) {
            em[i] = error(packet.ref.m[i], packet.float_mag.m[i], kHalfUnit, kHalfSubnormalStep);
        }
        for (int r = 0; r < 3; ++r) {
            for (int col = 0; col < 3; ++col) leaf_round.m[3 * r + col] += em[3 * r + col] + t[r] * ez[col];
        }
        for (int pair = 0; pair < 6; ++pair) {
            const int j = kPairJ[pair], k = kPairK[pair];
            for (int i = 0; i < 3; ++i) {
                const int at = 3 * pair + i;
                leaf_round.t[at] += error(packet.ref.t[at], packet.float_mag.t[at], kBfloatUnit, kBfloatFloor) +
                                    0.5 * (t[j] * em[3 * k + i] + t[k] * em[3 * j + i]) + 0.5 * t[j] * t[k] * ez[i];
            }
        }
    }
};

// |got - ref| within the final rounding (`unit`, `floor`) of a float value
// that is itself within `pre` of ref; beyond the half range the stored value
// is an infinity of the reference's sign.
bool rounded_ok(double got, double ref, double pre, double unit, double floor, double max_finite) {
    if (std::isinf(got)) return (got > 0 ? ref + pre : pre - ref) >= max_finite;
    if (!std::isfinite(got)) return false;
    return std::fabs(got - ref) <= pre + unit * (std::fabs(ref) + pre) + floor;
}

D3 to_d3(const Vec3& v) { return {v.x, v.y, v.z}; }

// The stored half radius against the true largest distance D, given the
// float distance computation (8 roundings at most) and rounding to half.
bool radius_ok(double got, double truth) {
    const double lo = truth * (1 - 8 * kFloatUnit), hi = truth * (1 + 8 * kFloatUnit);
    if (std::isinf(got)) return got > 0 && hi >= 65520.0;
    return std::isfinite(got) && hi < 65520.0 && got >= lo * (1 - kHalfUnit) - kHalfSubnormalStep &&
           got <= hi * (1 + kHalfUnit) + kHalfSubnormalStep;
}

// Float32 roundings of the magnitudes that a packet's expansion may carry: a
// few per element (offsets, normal, products) and five for the warp sum.
constexpr double kPacketSlack = 64;

const char* const kOrderName[3] = {"zero", "first", "second"};

// Compares a stored expansion with the float64 reference. `slack_units`
// float32 roundings of the magnitudes cover the per-element arithmetic and
// the sums; nodes add the packets' own rounding carried up by the shifts.
void compare_coefficients(const TailorCoefficientsF16& stored, const Expected& x, double slack_units, bool is_node,
                          const std::string& what, Findings& f, bool* overflow_z = nullptr,
                          bool* overflow_m = nullptr) {
    const TailorCoefficients got = TailorCoefficients::from_f16(stored);
    const auto one = [&](int order, int index, double value, double ref, double fmag, double carried) {
        const double unit = order == 2 ? kBfloatUnit : kHalfUnit;
        const double pre = slack_units * kFloatUnit * fmag + carried;
        const double max_finite = order == 2 ? kInf : kHalfMax;
        if (order == 0 && overflow_z && std::fabs(ref) + pre >= kHalfMax) *overflow_z = true;
        if (order == 1 && overflow_m && std::fabs(ref) + pre >= kHalfMax) *overflow_m = true;
        CHECK_THAT(f, rounded_ok(value, ref, pre, unit, order == 2 ? kBfloatFloor : kHalfSubnormalStep, max_finite),
                   what << " " << kOrderName[order] << " order [" << index << "]: stored " << value << ", float64 "
                        << ref << ", allowed float deviation " << pre);
    };
    const bool skip_z = is_node && x.leaf_overflow_z;
    const bool skip_higher = is_node && (x.leaf_overflow_z || x.leaf_overflow_m);
    if (!skip_z) {
        for (int i = 0; i < 3; ++i) {
            const double value = i == 0 ? got.zero_order.x : i == 1 ? got.zero_order.y : got.zero_order.z;
            one(0, i, value, x.ref.z[i], x.float_mag.z[i], x.leaf_round.z[i]);
        }
    }
    if (skip_higher) return;  // an infinite packet moment was carried up: nothing to compare
    for (int i = 0; i < 9; ++i) {
        one(1, i, got.first_order.m[i], x.ref.m[i], x.float_mag.m[i], x.leaf_round.m[i]);
    }
    for (int i = 0; i < 18; ++i) {
        one(2, i, got.second_order.t[i], x.ref.t[i], x.float_mag.t[i], x.leaf_round.t[i]);
    }
}

// The walk's record: the trace-free projection of the float64 moments, to
// the float rounding of the moments (`slack_units` of their magnitudes)
// times the projection's largest weights (3/4pi for the first order, 90/4pi
// for the second).
void compare_far_field(const TailorCoefficientsTraceFree& stored, const Expected& x, double slack_units,
                       const std::string& what, Findings& f) {
    TailorCoefficients reference;
    float* ref = reinterpret_cast<float*>(&reference);
    double magnitude[3] = {0, 0, 0};
    for (int i = 0; i < 30; ++i) {
        const double value = i < 3 ? x.ref.z[i] : i < 12 ? x.ref.m[i - 3] : x.ref.t[i - 12];
        const double mag = i < 3 ? x.float_mag.z[i] : i < 12 ? x.float_mag.m[i - 3] : x.float_mag.t[i - 12];
        ref[i] = static_cast<float>(value);
        magnitude[i < 3 ? 0 : i < 12 ? 1 : 2] += std::fabs(value) + slack_units * mag;
    }
    float want[15], got[15];
    TailorCoefficientsTraceFree::from_moments(reference).values(want);
    stored.values(got);
    const double weight[3] = {1.0 / 12.0, 3.0 / 12.0, 90.0 / 12.0};
    for (int k = 0; k < 15; ++k) {
        const int order = k < 3 ? 0 : k < 8 ? 1 : 2;
        const double tol = 8 * kFloatUnit * weight[order] * magnitude[order] + kBfloatFloor;
        CHECK_THAT(f, std::fabs(got[k] - want[k]) <= tol,
                   what << " walk record value " << k << ": stored " << got[k] << ", float64 projection " << want[k]
                        << " (tolerance " << tol << ")");
    }
}

// Bounds, centre and radius of one record. Corners are the half rounding of
// the float extremes less the float origin, exactly. The centre is the
// weighted mean; `merges` bounds the number of weighted merges above the
// packets (each costs a few roundings of the magnitudes), zero for a packet.
void compare_bounds(const AABB& stored, const Expected& x, std::size_t merges, const D3& origin,
                    const std::string& what, Findings& f) {
    const Vec3 lo = Vec3::from_f16(stored.min), hi = Vec3::from_f16(stored.max);
    for (int a = 0; a < 3; ++a) {
        const float o = static_cast<float>(origin[a]);
        const double want_lo = __half2float(__float2half_rn(static_cast<float>(x.lo[a]) - o));
        const double want_hi = __half2float(__float2half_rn(static_cast<float>(x.hi[a]) - o));
        CHECK_THAT(f, lo[a] == want_lo && hi[a] == want_hi,
                   what << " axis " << a << ": corners " << lo[a] << ".." << hi[a] << ", expected " << want_lo << ".."
                        << want_hi);
    }
    const D3 com = to_d3(stored.com);
    for (int a = 0; a < 3; ++a) {
        if (x.weight == 0) {
            // Nothing weighs: the plain centroid of the elements.
            const double want = x.centroid_sum[a] / x.element_count;
            double mag = 0;
            for (double m : {x.lo[a], x.hi[a]}) mag = std::max(mag, std::fabs(m));
            CHECK_THAT(f, std::fabs(com[a] - want) <= (64 + 16.0 * merges) * kFloatUnit * mag,
                       what << ": no weight, centre component " << a << " is " << com[a] << ", centroid " << want);
            continue;
        }
        const double want = x.weighted[a] / x.weight;
        // Packet sums and the division (about 32 roundings of the weighted
        // magnitudes), 16 more per merge, and the weights of 1e-10 per
        // element that stand in for packets of zero area.
        const double scale = (x.weighted_mag[a] + std::fabs(want) * x.weight_mag) / x.weight;
        const double tol = (32 + 16.0 * merges) * kFloatUnit * scale + 2 * kFloatUnit * std::fabs(want) +
                           x.zero_weight_elements * 1e-10 / x.weight * (std::fabs(want) + scale);
        CHECK_THAT(f, std::fabs(com[a] - want) <= tol,
                   what << ": centre component " << a << " is " << com[a] << ", float64 weighted mean " << want
                        << " (tolerance " << tol << ")");
    }
    const double r = __half2float(stored.max_dist);
    CHECK_THAT(f, radius_ok(r, x.radius),
               what << ": max_dist " << r << ", true largest distance from its centre " << x.radius);
}

// ------------------------------------------------------- the whole check

struct TreeReport {
    Snapshot snap;
    Layout layout;
};

// Checks every packet and node of a built tree against the elements in input
// order. Records holding a non-finite element are left out of the value
// checks (their values are undefined), all others are checked in full.
TreeReport check_tree(const Snapshot& s, const std::vector<Element>& elements, const char* label) {
    SCOPED_TRACE(label);
    TreeReport report{s, {}};
    Findings f;
    report.layout = check_structure(s, f);
    if (!report.layout.valid) return report;
    const Layout& layout = report.layout;
    const std::size_t L = s.leaves;

    std::vector<std::vector<const Element*>> members(L);
    for (std::size_t p = 0; p < L; ++p) {
        for (std::size_t k = s.packets[p].first; k < std::size_t(s.packets[p].first) + s.packets[p].count; ++k) {
            members[p].push_back(&elements.at(s.order[k]));
        }
    }

    std::vector<Expected> packets(L), nodes(s.nodes);
    const D3 zero{};
    for (std::size_t p = 0; p < L; ++p) {
        const D3 c = to_d3(s.packet(p).com);
        packets[p].add_packet(members[p], p, c, c, zero);
        if (!packets[p].finite) continue;
        const std::string what = "packet " + std::to_string(p);
        compare_bounds(s.packet(p), packets[p], 0, s.origin, what, f);
        // Per element: a few roundings of the offsets, normal and products;
        // then the five-step warp sum.
        compare_coefficients(s.leaf_coefficients[p], packets[p], kPacketSlack, false, what, f,
                             &packets[p].leaf_overflow_z, &packets[p].leaf_overflow_m);
        compare_far_field(s.leaf_far_field[p], packets[p], kPacketSlack, what, f);
    }
    // Every packet climbs to the root and adds itself to each node on the way.
    for (std::size_t p = 0; p < L && s.nodes > 0; ++p) {
        const D3 packet_com = to_d3(s.packet(p).com);
        D3 path{}, below = packet_com;
        for (std::uint32_t v = layout.holder[p]; v != INVALID_INDEX; v = layout.parent[v]) {
            const D3 c = to_d3(s.bvh[v].com);
            for (int a = 0; a < 3; ++a) path[a] += std::fabs(below[a] - c[a]);
            below = c;
            nodes[v].add_packet(members[p], p, packet_com, c, path);
            nodes[v].add_packet_rounding(packets[p], kPacketSlack, packet_com, c);
            nodes[v].leaf_overflow_z = nodes[v].leaf_overflow_z || packets[p].leaf_overflow_z;
            nodes[v].leaf_overflow_m = nodes[v].leaf_overflow_m || packets[p].leaf_overflow_m;
        }
    }
    for (std::size_t v = 0; v < s.nodes; ++v) {
        const Expected& x = nodes[v];
        const std::string what = "node " + std::to_string(v);
        CHECK_THAT(f, x.last_packet - x.first_packet + 1 == x.packets,
                   what << " holds " << x.packets << " packets spread over " << x.first_packet << ".."
                        << x.last_packet);
        if (!x.finite) continue;
        compare_bounds(s.bvh[v].getAABB(), x, x.packets, s.origin, what, f);
        // The packets' arithmetic, then per level below the node a
        // translation and a sum of up to eight children.
        compare_coefficients(s.node_coefficients[v], x, kPacketSlack + 16.0 * layout.height[v], true, what, f);
        compare_far_field(s.node_far_field[v], x, kPacketSlack + 16.0 * layout.height[v], what, f);
    }
    return report;
}

template <typename Geometry>
TreeReport check_backend(const NolithBackend<Geometry>& backend, const Scene& scene, const char* label) {
    std::vector<Element> elements = scene.elements();
    for (Element& e : elements) e = in_scene_units(e, backend.scene_scale());
    return check_tree(snapshot(backend), elements, label);
}

// The sum of all scaled normals, which the root's zero order must equal.
void expect_root_sums_all_normals(const TreeReport& report, const Scene& scene) {
    if (report.snap.nodes == 0) return;
    D3 sum{}, mag{};
    for (const Element& e : scene.elements()) {
        const Element scaled = in_scene_units(e, report.snap.scene_scale);
        for (int a = 0; a < 3; ++a) {
            sum[a] += scaled.n[a];
            mag[a] += scaled.n_mag[a];
        }
    }
    const Vec3 root = Vec3::from_f16(report.snap.node_coefficients[0].zero_order);
    for (int a = 0; a < 3; ++a) {
        // Packet sums rounded to half, then summed up the tree and rounded again.
        const double tol = (64 + 16.0 * report.snap.levels) * kFloatUnit * mag[a] + kHalfUnit * mag[a] +
                           kHalfUnit * std::fabs(sum[a]) + kHalfSubnormalStep * (report.snap.leaves + 1);
        EXPECT_NEAR(root[a], sum[a], tol) << "axis " << a;
    }
}

// ---------------------------------------------------------------- tests

class BuiltTree : public ::testing::Test {
protected:
    void SetUp() override {
        cudaSetDevice(0);
        live_at_start_ = nolith_host::testing::live_allocations();
    }
    // Backends and inputs are gone by now: nothing of a build may stay.
    void TearDown() override { EXPECT_EQ(nolith_host::testing::live_allocations(), live_at_start_); }

    std::size_t live_at_start_ = 0;
};

TEST_F(BuiltTree, TriangleSoupsMatchTheirGeometry) {
    for (std::size_t n : {33u, 100u, 1000u, 5000u}) {
        const Scene scene = random_soup(n, 100 + static_cast<unsigned>(n));
        const auto backend = build_triangles(scene);
        const TreeReport report = check_backend(*backend, scene, ("soup of " + std::to_string(n)).c_str());
        expect_root_sums_all_normals(report, scene);
    }
}

TEST_F(BuiltTree, PointCloudsMatchTheirGeometry) {
    for (std::size_t n : {33u, 100u, 1000u, 5000u}) {
        const Scene scene = random_cloud(n, 200 + static_cast<unsigned>(n));
        const auto backend = build_points(scene);
        const TreeReport report = check_backend(*backend, scene, ("cloud of " + std::to_string(n)).c_str());
        expect_root_sums_all_normals(report, scene);
    }
}

// The gathered mesh is the soup of its indexed triangles; a closed surface's
// normals cancel at the root.
TEST_F(BuiltTree, IndexedMeshMatchesItsTriangles) {
    const Scene scene = uv_sphere(16, 24);
    const auto backend = build_triangles(scene);
    const TreeReport report = check_backend(*backend, scene, "sphere mesh");
    expect_root_sums_all_normals(report, scene);
}

TEST_F(BuiltTree, IdenticalElementsBuildAByIndexTree) {
    Scene soup;
    for (int e = 0; e < 1000; ++e) soup.a.insert(soup.a.end(), {0.1f, 0.2f, 0.3f, 0.9f, 0.2f, 0.3f, 0.1f, 0.7f, 0.5f});
    check_backend(*build_triangles(soup), soup, "identical triangles");
    Scene cloud;
    cloud.kind = Scene::Points;
    cloud.a.assign(3 * 1000, 0.375f);
    cloud.b = uniform(3 * 1000, -1.0f, 1.0f, 7);  // same place, different normals
    check_backend(*build_points(cloud), cloud, "identical points");
}

// Collapsed and collinear triangles weigh nothing: a packet of them centres
// at the plain centroid of its triangles, its parent follows its other
// children, and a tree of nothing else is centred by element counts.
TEST_F(BuiltTree, ZeroAreaTrianglesBuildAndKeepTheirRecordsConsistent) {
    Scene mixed = random_soup(600, 31, 1.0f, 0.1f);
    const std::vector<float> spots = uniform(3 * 400, 2.0f, 3.0f, 32);
    for (std::size_t e = 0; e < 400; ++e) {
        const float x = spots[3 * e], y = spots[3 * e + 1], z = spots[3 * e + 2];
        if (e % 2 == 0) {
            mixed.a.insert(mixed.a.end(), {x, y, z, x, y, z, x, y, z});  // collapsed
        } else {
            const float h = 0.0625f;  // exact steps along a line
            mixed.a.insert(mixed.a.end(), {x, y, z, x + h, y + 2 * h, z, x + 2 * h, y + 4 * h, z});
        }
    }
    check_backend(*build_triangles(mixed), mixed, "mixed zero-area triangles");

    Scene flat_only;
    flat_only.a.assign(mixed.a.begin() + 9 * 600, mixed.a.end());
    check_backend(*build_triangles(flat_only), flat_only, "zero-area triangles only");
}

TEST_F(BuiltTree, AFlatSceneBuildsWithZeroHeightBoxes) {
    Scene soup = random_soup(700, 41);
    for (std::size_t k = 2; k < soup.a.size(); k += 3) soup.a[k] = 0.25f;
    check_backend(*build_triangles(soup), soup, "flat soup");
    Scene cloud = random_cloud(700, 43);
    for (std::size_t k = 2; k < cloud.a.size(); k += 3) cloud.a[k] = -0.5f;
    check_backend(*build_points(cloud), cloud, "flat cloud");
}

// Scenes far beyond the half range, or far below it, are stored in scene
// units: every record is finite and exact to its rounding, as at unit size.
TEST_F(BuiltTree, ScenesFarBeyondOrBelowTheHalfRangeKeepFiniteRecords) {
    for (float extent : {1e5f, 1e-6f}) {
        SCOPED_TRACE(extent);
        const Scene soup = random_soup(500, 51, extent, 0.1f * extent);
        const TreeReport soup_report = check_backend(*build_triangles(soup), soup, "soup");
        expect_root_sums_all_normals(soup_report, soup);
        Scene cloud = random_cloud(500, 53, extent);
        for (float& v : cloud.b) v *= extent * extent;
        const TreeReport cloud_report = check_backend(*build_points(cloud), cloud, "cloud");
        expect_root_sums_all_normals(cloud_report, cloud);
        EXPECT_TRUE(std::isfinite(__half2float(cloud_report.snap.bvh.at(0).max_dist)));
        EXPECT_GT(__half2float(cloud_report.snap.bvh.at(0).max_dist), 0.25f);  // about half the diagonal
    }
}

// A NaN or infinite coordinate or normal would spoil every node above it: the
// factories refuse it before any tree is built, naming the first bad element.
TEST_F(BuiltTree, NonFiniteInputsAreRefusedNamingTheFirstBadElement) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const auto refusal = [](auto build) -> std::string {
        try {
            build();
        } catch (const nolith_cuda::NonFiniteInput& refused) {
            return refused.what();
        }
        return "accepted";
    };
    const auto starts = [](const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; };
    Scene soup = random_soup(800, 61);
    soup.a[9 * 500 + 8] = nan;
    soup.a[9 * 300 + 4] = -inf;
    const std::string soup_refusal = refusal([&] { build_triangles(soup); });
    EXPECT_TRUE(starts(soup_refusal, "triangles[300, 1] is not finite: (")) << soup_refusal;
    Scene cloud = random_cloud(800, 63);
    cloud.a[3 * 400 + 2] = inf;
    const std::string point_refusal = refusal([&] { build_points(cloud); });
    EXPECT_TRUE(starts(point_refusal, "points[400] is not finite: (") && point_refusal.find(", inf)") != std::string::npos)
        << point_refusal;
    cloud.b[3 * 20] = nan;
    EXPECT_TRUE(starts(refusal([&] { build_points(cloud); }), "normals[20] is not finite: (nan, "));
}

// Clusters inside clusters: at every scale seven tight packets sit in the
// seven outer octants of a cube whose inner octant holds the next scale. The
// outer packets' boxes outgrow the inner cube, so each 8-wide node opens
// them first and the tree descends one scale per level.
Scene nested_clusters(int scales) {
    Scene s;
    s.kind = Scene::Points;
    const std::vector<float> normals = uniform(3 * 32 * 7 * scales, -1.0f, 1.0f, 71);
    for (int j = 0; j < scales; ++j) {
        const double size = std::ldexp(1.0, -j);
        for (int octant = 1; octant < 8; ++octant) {
            for (int i = 0; i < 32; ++i) {
                const double grid[3] = {(i % 4) / 3.0 - 0.5, (i / 4 % 4) / 3.0 - 0.5, i / 16 - 0.5};
                for (int a = 0; a < 3; ++a) {
                    const double centre = size * (0.5 * ((octant >> a) & 1) + 0.25);
                    s.a.push_back(static_cast<float>(centre + 0.2 * size * grid[a]));
                }
            }
        }
    }
    s.b = normals;
    return s;
}

std::vector<float> to_host(const float* device, std::size_t n) {
    std::vector<float> host(n);
    EXPECT_EQ(cudaMemcpy(host.data(), device, 4 * n, cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
}

// Sum over the elements of |dipole contribution| at q: the scale of float
// summation errors in an evaluation (all queries stay beyond 2 epsilon).
double absolute_contributions(const std::vector<Element>& elements, const float* q) {
    double sum = 0;
    for (const Element& e : elements) {
        double d[3], r2 = 0, dot = 0;
        for (int a = 0; a < 3; ++a) {
            d[a] = e.g[a] - q[a];
            r2 += d[a] * d[a];
            dot += d[a] * e.n[a];
        }
        sum += std::fabs(dot) / (4 * 3.14159265358979323846 * r2 * std::sqrt(r2));
    }
    return sum;
}

// Up to `count` points of the box lo..hi (per axis) farther than `clearance`
// from every element's centroid or position.
std::vector<float> queries_away_from(const std::vector<Element>& elements, std::size_t count, float lo, float hi,
                                     double clearance, unsigned seed) {
    std::vector<float> queries;
    const std::vector<float> candidates = uniform(3 * 8 * count, lo, hi, seed);
    for (std::size_t k = 0; k < candidates.size() && queries.size() < 3 * count; k += 3) {
        double nearest = kInf;
        for (const Element& e : elements) {
            const double dx = e.g[0] - candidates[k], dy = e.g[1] - candidates[k + 1], dz = e.g[2] - candidates[k + 2];
            nearest = std::min(nearest, std::sqrt(dx * dx + dy * dy + dz * dz));
        }
        if (nearest > clearance) queries.insert(queries.end(), candidates.begin() + k, candidates.begin() + k + 3);
    }
    return queries;
}

// compute against brute_force at `queries`: with every packet summed exactly
// the two differ only in the order of float32 additions (warp sums per
// packet, then one sum per packet); at the default beta by the order-2
// expansions' truncation at no less than 2 radii (up to (1/2)^3 of an
// accepted node's share) and their arithmetic, `relative` of the sum of
// absolute contributions.
template <typename Geometry>
void expect_compute_matches_brute_force(const NolithBackend<Geometry>& backend, const std::vector<Element>& elements,
                                        const std::vector<float>& queries, double relative) {
    const std::size_t q = queries.size() / 3;
    const DeviceArray<float> device_queries(queries);
    const std::vector<float> exact = to_host(backend.brute_force(device_queries.data, q, -1.0f, 0).get(), q);
    const std::vector<float> all_near = to_host(backend.compute(device_queries.data, q, 1e18f, -1.0f, 0).get(), q);
    const std::vector<float> fast = to_host(backend.compute(device_queries.data, q, -1.0f, -1.0f, 0).get(), q);
    for (std::size_t i = 0; i < q; ++i) {
        const double scale = absolute_contributions(elements, &queries[3 * i]);
        EXPECT_NEAR(all_near[i], exact[i], 2 * (backend.packets_count() + 40) * kFloatUnit * scale) << "query " << i;
        EXPECT_NEAR(fast[i], exact[i], relative * scale) << "query " << i;
    }
}

TEST_F(BuiltTree, ADeepTreeIsSoundAndTraversedCompletely) {
    const Scene scene = nested_clusters(14);
    const std::vector<Element> elements = scene.elements();
    const auto backend = build_points(scene);
    check_tree(snapshot(*backend), elements, "nested clusters");
    ASSERT_GT(backend->levels(), 10u) << "the tree is too shallow to need a deep stack";
    // Queries between and around the clusters, none within 2 epsilon of a point.
    const std::vector<float> queries = queries_away_from(elements, 77, -0.5f, 1.5f, 0.05, 73);
    ASSERT_EQ(queries.size(), 3u * 77);
    expect_compute_matches_brute_force(*backend, elements, queries, 1e-2);
}

// Packets follow the geometry: around one packet's worth of elements the
// tree is sound and compute agrees with brute_force (a few large triangles
// per node: a looser bound at the default beta), and two far clusters never
// share a packet, whatever their counts.
TEST_F(BuiltTree, PacketsFollowTheGeometry) {
    for (std::size_t n : {1u, 31u, 32u, 33u, 64u, 100u}) {
        SCOPED_TRACE(n);
        const Scene soup = random_soup(n, 80 + static_cast<unsigned>(n));
        const auto triangles = build_triangles(soup);
        check_backend(*triangles, soup, "soup");
        const std::vector<Element> soup_elements = soup.elements();
        expect_compute_matches_brute_force(*triangles, soup_elements,
                                           queries_away_from(soup_elements, 24, -1.5f, 1.5f, 0.5, 81), 5e-2);
        const Scene cloud = random_cloud(n, 90 + static_cast<unsigned>(n));
        const auto points = build_points(cloud);
        check_backend(*points, cloud, "cloud");
        const std::vector<Element> cloud_elements = cloud.elements();
        expect_compute_matches_brute_force(*points, cloud_elements,
                                           queries_away_from(cloud_elements, 24, -1.5f, 1.5f, 0.05, 91), 2e-2);
    }
    for (std::size_t near_count : {45u, 64u, 70u}) {
        SCOPED_TRACE(near_count);
        Scene clusters = random_cloud(near_count + 51, 95);
        for (std::size_t e = near_count; e < clusters.count(); ++e) clusters.a[3 * e] += 1000.0f;
        const auto backend = build_points(clusters);
        const TreeReport report = check_backend(*backend, clusters, "two clusters");
        for (const PacketRange& range : report.snap.packets) {
            const bool first_far = report.snap.order[range.first] >= near_count;
            for (std::size_t k = range.first; k < std::size_t(range.first) + range.count; ++k) {
                EXPECT_EQ(report.snap.order[k] >= near_count, first_far) << "a packet spans both clusters";
            }
        }
    }
}

}  // namespace
