// The tree as Graphviz text: one HTML-like table per 8-wide node and per leaf
// packet, one small point per empty child slot. A diagnostic for small
// trees: everything is copied to the host with blocking copies on the legacy
// default stream (which waits for the backend's blocking stream), so the
// dump sees the finished build. Bounds and coefficients are stored in scene
// units; the text shows them in the caller's units.

#include "gpu.h"

#include "nolith_cuda/nolith_backend.h"
#include "records.h"
#include "utils/cuda_check.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// Appends printf-formatted text. "%.Nf" writes the same digits as a
// fixed-point std::format field of precision N.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void appendf(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(&out[at], static_cast<std::size_t>(length) + 1, format, args);
        out.resize(at + static_cast<std::size_t>(length));
    }
    va_end(args);
}

double widen(__half h) { return static_cast<double>(__half2float(h)); }

// Powers of the caller's unit in scene units (1 / scene scale), by which
// stored lengths, areas and the coefficients' moments return to caller units.
struct Units {
    double length, area, first_moment, second_moment;
    explicit Units(float scene_scale)
        : length(1.0 / scene_scale),
          area(length * length),
          first_moment(area * length),
          second_moment(first_moment * length) {}
};

// "AABB Min: (...)<BR/>AABB Max: (...)" or the leaf form, in caller units:
// the corners are stored relative to the scene's lower corner.
void append_corners(std::string& out, const char* format, const Vec3_f16& lo, const Vec3_f16& hi, double unit,
                    const float* lower) {
    appendf(out, format, widen(lo.x) * unit + lower[0], widen(lo.y) * unit + lower[1], widen(lo.z) * unit + lower[2],
            widen(hi.x) * unit + lower[0], widen(hi.y) * unit + lower[1], widen(hi.z) * unit + lower[2]);
}

constexpr const char* kNodeCorners =
    "      <TR><TD COLSPAN=\"4\"><FONT POINT-SIZE=\"9\">AABB Min: (%.3f, %.3f, %.3f)<BR/>AABB Max: "
    "(%.3f, %.3f, %.3f)</FONT></TD></TR>\n";
constexpr const char* kLeafCorners =
    "      <TR><TD COLSPAN=\"4\"><FONT POINT-SIZE=\"9\" COLOR=\"#333333\">AABB Min: (%.2f, %.2f, "
    "%.2f) Max: (%.2f, %.2f, %.2f)</FONT></TD></TR>\n";

// A failed copy is reported and stops the dump: text from zeros would look
// like a tree.
void copy_to_host(void* destination, const void* source, std::size_t bytes) {
    NOLITH_CUDA_REQUIRE(cudaMemcpy(destination, source, bytes, cudaMemcpyDeviceToHost));
}

// Record `index` of a host copy, or a zero record when the index lies
// outside it (only a tree whose copies failed points there).
template <typename Record>
Record record_at(const std::vector<Record>& records, std::uint64_t index) {
    return index < records.size() ? records[index] : Record{};
}

// The text of sorted element i; planes holds the component planes of n elements.
template <typename Geometry>
void append_element(std::string& out, const std::vector<float>& planes, std::size_t n, std::size_t i) {
    const auto c = [&](std::size_t k) { return static_cast<double>(planes[k * n + i]); };
    if constexpr (std::is_same_v<Geometry, Triangle>) {
        appendf(out, "v0:(%.2f, %.2f, %.2f) | v1:(%.2f, %.2f, %.2f) | v2:(%.2f, %.2f, %.2f)", c(0), c(1), c(2), c(3),
                c(4), c(5), c(6), c(7), c(8));
    } else {
        appendf(out, "Pos:(%.2f, %.2f, %.2f) | Norm:(%.2f, %.2f, %.2f)", c(0), c(1), c(2), c(3), c(4), c(5));
    }
}

// One geometry row of a leaf table.
template <typename Geometry>
void append_element_row(std::string& out, const std::vector<float>& planes, std::size_t n, std::size_t row,
                        std::size_t element, int font_size) {
    appendf(out, "      <TR><TD>P%zu</TD><TD COLSPAN=\"3\" ALIGN=\"LEFT\"><FONT POINT-SIZE=\"%d\">", row, font_size);
    append_element<Geometry>(out, planes, n, element);
    out += "</FONT></TD></TR>\n";
}

void append_com_row(std::string& out, const char* colour, const Vec3& com) {
    appendf(out, "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"%s\"><I>CoM: (%.4f, %.4f, %.4f)</I></TD></TR>\n", colour,
            static_cast<double>(com.x), static_cast<double>(com.y), static_cast<double>(com.z));
}

void append_zero_order(std::string& out, const char* colour, const Vec3& zero, double unit) {
    appendf(out,
            "      <TR><TD BGCOLOR=\"%s\"><B>Zero Order</B></TD><TD>%.4f</TD><TD>%.4f</TD><TD>%.4f</TD></TR>\n",
            colour, zero.x * unit, zero.y * unit, zero.z * unit);
}

// Three value rows after a cell spanning them; row r holds values(r, 0..2).
template <typename Values>
void append_three_rows(std::string& out, Values values) {
    for (int r = 0; r < 3; ++r) {
        if (r > 0) out += "      <TR>\n";
        appendf(out, "        <TD>%.4f</TD><TD>%.4f</TD><TD>%.4f</TD></TR>\n", values(r, 0), values(r, 1), values(r, 2));
    }
}

void append_first_order(std::string& out, const char* colour, const Mat3x3& m, double unit) {
    appendf(out, "      <TR><TD ROWSPAN=\"3\" BGCOLOR=\"%s\"><B>1st Order</B></TD>\n", colour);
    append_three_rows(out, [&](int r, int c) { return m.m[3 * r + c] * unit; });
}

// The full symmetric tensor: slice a, row r shows the stored pair (a, r).
void append_second_order(std::string& out, const Tensor3_compressed& t, double unit) {
    out += "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#bbdefb\"><B>2nd Order</B></TD></TR>\n";
    for (int a = 0; a < 3; ++a) {
        appendf(out, "      <TR><TD ROWSPAN=\"3\">Slice %d</TD>\n", a);
        append_three_rows(out, [&](int r, int i) { return t.t[3 * symmetric_pair_index(a, r) + i] * unit; });
    }
}

constexpr const char* kNodeColour = "#bbdefb";
constexpr const char* kLeafColour = "#c8e6c9";

}  // namespace

template <typename Geometry>
std::string NolithBackend<Geometry>::dump() const {
    const std::size_t n = count;
    if (n == 0) return "digraph BVH8 {\n}\n";
    constexpr std::size_t components = GeometryTraits<Geometry>::components;
    const Units units(scene.scene_scale);

    std::string out =
        "digraph BVH8 {\n"
        "  node [fontname=\"Arial\", fontsize=10];\n"
        "  rankdir=TB;\n\n";

    if (n <= ELEMENTS_PER_LEAF) {
        // A single leaf packet and no 8-wide node: the packet is the whole tree.
        AABB box{};
        copy_to_host(&box, node_aabbs, sizeof(AABB));
        std::vector<float> planes(components * n);
        copy_to_host(planes.data(), soa_geometry, planes.size() * sizeof(float));

        out += "  L0 [shape=none, label=<\n";
        out += "    <TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"4\" BGCOLOR=\"#eaffea\">\n";
        out += "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#4CAF50\"><B><FONT COLOR=\"white\">LEAF 0 (Root Leaf)</FONT></B>"
               "</TD></TR>\n";
        append_com_row(out, kLeafColour, box.com);
        append_corners(out, kNodeCorners, box.min, box.max, units.length, scene.lower);
        for (std::size_t i = 0; i < n; ++i) append_element_row<Geometry>(out, planes, n, i, i, 9);
        out += "    </TABLE>>];\n}\n";
        return out;
    }

    const std::uint64_t leaves = packet_count;
    const std::uint64_t capacity = leaves - 1;

    std::uint32_t node_count = 0;
    copy_to_host(&node_count, bvh8_node_count, sizeof node_count);
    // The device arrays hold at most L - 1 nodes.
    const std::size_t k_nodes = node_count < capacity ? node_count : static_cast<std::size_t>(capacity);

    std::vector<BVH8Node> nodes(k_nodes);
    copy_to_host(nodes.data(), bvh8_nodes, k_nodes * sizeof(BVH8Node));
    std::vector<AABB> leaf_boxes(leaves);
    copy_to_host(leaf_boxes.data(), node_aabbs + capacity, leaves * sizeof(AABB));
    std::vector<float> planes(components * n);
    copy_to_host(planes.data(), soa_geometry, planes.size() * sizeof(float));
    std::vector<LeafPointers> slots(k_nodes);
    copy_to_host(slots.data(), leaf_pointers, k_nodes * sizeof(LeafPointers));
    std::vector<PacketRange> packet_table(leaves);
    copy_to_host(packet_table.data(), packets, leaves * sizeof(PacketRange));
    std::vector<TailorCoefficientsF16> leaf_terms(leaves);
    copy_to_host(leaf_terms.data(), leaf_coefficients, leaves * sizeof(TailorCoefficientsF16));
    std::vector<TailorCoefficientsF16> node_terms(k_nodes);
    copy_to_host(node_terms.data(), node_coefficients, k_nodes * sizeof(TailorCoefficientsF16));

    std::uint64_t empty_points = 0;
    std::deque<std::uint32_t> work{0};
    while (!work.empty()) {
        const std::uint32_t v = work.front();
        work.pop_front();
        const BVH8Node b = record_at(nodes, v);
        const TailorCoefficients c = TailorCoefficients::from_f16(record_at(node_terms, v));

        appendf(out, "  N%u [shape=none, label=<\n", v);
        out += "    <TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"4\" BGCOLOR=\"#f0faff\">\n";
        appendf(out,
                "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#2196F3\"><B><FONT COLOR=\"white\">NODE %u</FONT></B></TD>"
                "</TR>\n",
                v);
        append_com_row(out, kNodeColour, b.com);
        append_corners(out, kNodeCorners, b.min, b.max, units.length, scene.lower);
        append_zero_order(out, kNodeColour, c.zero_order, units.area);
        append_first_order(out, kNodeColour, c.first_order, units.first_moment);
        append_second_order(out, c.second_order, units.second_moment);
        out += "    </TABLE>>];\n";

        const LeafPointers leaf_slots = record_at(slots, v);
        std::uint32_t internal_rank = 0;
        for (int s = 0; s < 8; ++s) {
            switch (static_cast<std::uint32_t>(b.getChildMeta(s))) {
            case Internal: {
                const std::uint32_t w = b.first_child + internal_rank++;
                // Children come after their parent in the level order; anything
                // else is not a node of this tree and is not expanded.
                if (w > v && w < k_nodes) work.push_back(w);
                appendf(out, "  N%u -> N%u [label=\"%d\", weight=3];\n", v, w, s);
                break;
            }
            case Leaf: {
                const std::uint32_t j = leaf_slots.leaf_index[s];
                const AABB box = record_at(leaf_boxes, j);
                const TailorCoefficients h = TailorCoefficients::from_f16(record_at(leaf_terms, j));
                appendf(out, "  L%u [shape=none, label=<\n", j);
                out += "    <TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"4\" "
                       "BGCOLOR=\"#eaffea\">\n";
                appendf(out,
                        "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#4CAF50\"><B><FONT COLOR=\"white\">LEAF %u</FONT></B>"
                        "</TD></TR>\n",
                        j);
                append_com_row(out, kLeafColour, box.com);
                append_corners(out, kLeafCorners, box.min, box.max, units.length, scene.lower);
                append_zero_order(out, kLeafColour, h.zero_order, units.area);
                append_first_order(out, kLeafColour, h.first_order, units.first_moment);
                appendf(out,
                        "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#c8e6c9\"><I>Geometry (Max %u Packets)</I></TD>"
                        "</TR>\n",
                        ELEMENTS_PER_LEAF);
                const PacketRange range = record_at(packet_table, j);
                for (std::uint64_t q = 0; q < range.count && q < ELEMENTS_PER_LEAF && range.first + q < n; ++q) {
                    append_element_row<Geometry>(out, planes, n, q, range.first + q, 8);
                }
                out += "    </TABLE>>];\n";
                appendf(out, "  N%u -> L%u [label=\"%d\", color=\"#4CAF50\", penwidth=2];\n", v, j, s);
                break;
            }
            case Empty:
                appendf(out, "  E%llu [label=\"\", shape=point, color=gray];\n",
                        static_cast<unsigned long long>(empty_points));
                appendf(out, "  N%u -> E%llu [style=dotted, color=gray, arrowhead=none];\n", v,
                        static_cast<unsigned long long>(empty_points));
                ++empty_points;
                break;
            default:  // the unused value 3
                break;
            }
        }
    }
    out += "}\n";
    return out;
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
