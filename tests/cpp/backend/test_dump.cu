// The Graphviz text of the tree: exact texts of the root-leaf form and of
// small trees, failed copies, and the structure of larger built trees.
#include "gpu.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"

#include "../host_runtime/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using Operation = nolith_host::testing::Operation;

template <typename T>
std::vector<T> read_back(const T* device, std::size_t count) {
    std::vector<T> host(count);
    EXPECT_CUDA(cudaMemcpy(host.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost));
    return host;
}

// Replaces the contents of a backend buffer (a hand-made tree).
template <typename T>
void overwrite(const T* device, const std::vector<T>& values) {
    EXPECT_CUDA(cudaMemcpy(const_cast<T*>(device), values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice));
}

std::unique_ptr<NolithBackend<PointNormal>> points_backend(const std::vector<float>& points,
                                                           const std::vector<float>& normals) {
    const std::size_t n = points.size() / 3;
    if (n == 0) return NolithBackend<PointNormal>::CreateFromPoints(nullptr, nullptr, 0, 0);
    const test::DeviceBuffer<float> d_points(points), d_normals(normals);
    return NolithBackend<PointNormal>::CreateFromPoints(d_points.get(), d_normals.get(), n, 0);
}

std::unique_ptr<NolithBackend<Triangle>> triangles_backend(const std::vector<float>& soup) {
    const test::DeviceBuffer<float> d_soup(soup);
    return NolithBackend<Triangle>::CreateFromTriangles(d_soup.get(), soup.size() / 9, 0);
}

// Points (x, 0.5, -2.25) for x = first .. first + count - 1 with the scaled
// normal (0, 0, normal_factor * x), given in descending x: the Morton order
// is ascending x, so the dump must show them reversed.
std::unique_ptr<NolithBackend<PointNormal>> line_of_points(int first, int count, int normal_factor) {
    std::vector<float> points, normals;
    for (int x = first + count - 1; x >= first; --x) {
        points.insert(points.end(), {float(x), 0.5f, -2.25f});
        normals.insert(normals.end(), {0.0f, 0.0f, float(normal_factor * x)});
    }
    return points_backend(points, normals);
}

// The geometry rows of those points, x = first onwards, numbered from P0.
std::string point_rows(int first, int count, int font, int normal_factor) {
    std::string rows;
    for (int q = 0; q < count; ++q) {
        const int x = first + q;
        rows += "      <TR><TD>P" + std::to_string(q) + "</TD><TD COLSPAN=\"3\" ALIGN=\"LEFT\"><FONT POINT-SIZE=\"" +
                std::to_string(font) + "\">Pos:(" + std::to_string(x) + ".00, 0.50, -2.25) | Norm:(0.00, 0.00, " +
                std::to_string(normal_factor * x) + ".00)</FONT></TD></TR>\n";
    }
    return rows;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const char* const kHeader = "digraph BVH8 {\n  node [fontname=\"Arial\", fontsize=10];\n  rankdir=TB;\n\n";

const char* const kOneTriangle = R"(digraph BVH8 {
  node [fontname="Arial", fontsize=10];
  rankdir=TB;

  L0 [shape=none, label=<
    <TABLE BORDER="0" CELLBORDER="1" CELLSPACING="0" CELLPADDING="4" BGCOLOR="#eaffea">
      <TR><TD COLSPAN="4" BGCOLOR="#4CAF50"><B><FONT COLOR="white">LEAF 0 (Root Leaf)</FONT></B></TD></TR>
      <TR><TD COLSPAN="4" BGCOLOR="#c8e6c9"><I>CoM: (1.1667, 0.5000, 1.0000)</I></TD></TR>
      <TR><TD COLSPAN="4"><FONT POINT-SIZE="9">AABB Min: (0.250, -0.500, 1.000)<BR/>AABB Max: (3.000, 2.500, 1.000)</FONT></TD></TR>
      <TR><TD>P0</TD><TD COLSPAN="3" ALIGN="LEFT"><FONT POINT-SIZE="9">v0:(0.25, -0.50, 1.00) | v1:(3.00, -0.50, 1.00) | v2:(0.25, 2.50, 1.00)</FONT></TD></TR>
    </TABLE>>];
}
)";
const std::vector<float> kTriangle = {0.25f, -0.5f, 1.0f, 3.0f, -0.5f, 1.0f, 0.25f, 2.5f, 1.0f};

// Zero coefficients as a node table shows them.
const char* const kZeroNodeTerms = R"(      <TR><TD BGCOLOR="#bbdefb"><B>Zero Order</B></TD><TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR><TD ROWSPAN="3" BGCOLOR="#bbdefb"><B>1st Order</B></TD>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR><TD COLSPAN="4" BGCOLOR="#bbdefb"><B>2nd Order</B></TD></TR>
      <TR><TD ROWSPAN="3">Slice 0</TD>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR><TD ROWSPAN="3">Slice 1</TD>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR><TD ROWSPAN="3">Slice 2</TD>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
    </TABLE>>];
)";

// Zero coefficients and the geometry line as a leaf-packet table shows them.
const char* const kZeroLeafTerms = R"(      <TR><TD BGCOLOR="#c8e6c9"><B>Zero Order</B></TD><TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR><TD ROWSPAN="3" BGCOLOR="#c8e6c9"><B>1st Order</B></TD>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR>
        <TD>0.0000</TD><TD>0.0000</TD><TD>0.0000</TD></TR>
      <TR><TD COLSPAN="4" BGCOLOR="#c8e6c9"><I>Geometry (Max 32 Packets)</I></TD></TR>
)";

std::string node_head(int v) {
    return "  N" + std::to_string(v) +
           " [shape=none, label=<\n"
           "    <TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"4\" BGCOLOR=\"#f0faff\">\n"
           "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#2196F3\"><B><FONT COLOR=\"white\">NODE " +
           std::to_string(v) + "</FONT></B></TD></TR>\n";
}

std::string leaf_head(int j) {
    return "  L" + std::to_string(j) +
           " [shape=none, label=<\n"
           "    <TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"4\" BGCOLOR=\"#eaffea\">\n"
           "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#4CAF50\"><B><FONT COLOR=\"white\">LEAF " +
           std::to_string(j) + "</FONT></B></TD></TR>\n";
}

// The centre-of-mass and bounds rows of a node table and of a leaf-packet table.
std::string node_box(const std::string& com, const std::string& min, const std::string& max) {
    return "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#bbdefb\"><I>CoM: (" + com +
           ")</I></TD></TR>\n      <TR><TD COLSPAN=\"4\"><FONT POINT-SIZE=\"9\">AABB Min: (" + min +
           ")<BR/>AABB Max: (" + max + ")</FONT></TD></TR>\n";
}

std::string leaf_box(const std::string& com, const std::string& min, const std::string& max) {
    return "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#c8e6c9\"><I>CoM: (" + com +
           ")</I></TD></TR>\n      <TR><TD COLSPAN=\"4\"><FONT POINT-SIZE=\"9\" COLOR=\"#333333\">AABB Min: (" + min +
           ") Max: (" + max + ")</FONT></TD></TR>\n";
}

std::string leaf_edge(int node, int leaf, int slot) {
    return "  N" + std::to_string(node) + " -> L" + std::to_string(leaf) + " [label=\"" + std::to_string(slot) +
           "\", color=\"#4CAF50\", penwidth=2];\n";
}

const char* const kTableEnd = "    </TABLE>>];\n";

std::string empty_points(int node, int first, int count) {
    std::string text;
    for (int e = first; e < first + count; ++e) {
        const std::string id = "E" + std::to_string(e);
        text += "  " + id + " [label=\"\", shape=point, color=gray];\n  N" + std::to_string(node) + " -> " + id +
                " [style=dotted, color=gray, arrowhead=none];\n";
    }
    return text;
}

class Dump : public test::RuntimeTest {};

TEST_F(Dump, EmptyGeometryIsAnEmptyGraph) {
    EXPECT_EQ(points_backend({}, {})->dump(), "digraph BVH8 {\n}\n");
    EXPECT_EQ(NolithBackend<Triangle>::CreateFromTriangles(nullptr, 0, 0)->dump(), "digraph BVH8 {\n}\n");
}

TEST_F(Dump, OneTriangleIsTheRootLeaf) { EXPECT_EQ(triangles_backend(kTriangle)->dump(), kOneTriangle); }

TEST_F(Dump, ThirtyTwoPointsAreStillOneLeafInMortonOrder) {
    const std::string expected =
        std::string(kHeader) +
        R"(  L0 [shape=none, label=<
    <TABLE BORDER="0" CELLBORDER="1" CELLSPACING="0" CELLPADDING="4" BGCOLOR="#eaffea">
      <TR><TD COLSPAN="4" BGCOLOR="#4CAF50"><B><FONT COLOR="white">LEAF 0 (Root Leaf)</FONT></B></TD></TR>
      <TR><TD COLSPAN="4" BGCOLOR="#c8e6c9"><I>CoM: (-0.5000, 0.5000, -2.2500)</I></TD></TR>
      <TR><TD COLSPAN="4"><FONT POINT-SIZE="9">AABB Min: (-16.000, 0.500, -2.250)<BR/>AABB Max: (15.000, 0.500, -2.250)</FONT></TD></TR>
)" + point_rows(-16, 32, 9, 1) +
        "    </TABLE>>];\n}\n";
    EXPECT_EQ(line_of_points(-16, 32, 1)->dump(), expected);
}

// A failed copy is reported once and stops the dump: zeros would pass for a
// tree. The next dump, with nothing failing, is whole again.
TEST_F(Dump, FailedCopiesAreReportedAndRaised) {
    const auto backend = triangles_backend(kTriangle);
    for (unsigned long k : {1ul, 2ul}) {  // the leaf bounds, the geometry
        nolith_host::testing::fail_nth(Operation::Copy, k, cudaErrorUnknown);
        testing::internal::CaptureStderr();
        EXPECT_THROW(backend->dump(), std::runtime_error);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("CUDA Runtime Error: src/cpp/nolith_cuda/backend_dump.cu:"), std::string::npos) << err;
        EXPECT_EQ(err.find("CUDA Runtime Error", 1), std::string::npos) << "reported once: " << err;
    }
    EXPECT_EQ(backend->dump(), kOneTriangle);
}

// n = 33: one node holding both leaf packets in slots 0 and 1, six empty
// slots. The line is cut where its Morton codes split, at x = 16.5.
TEST_F(Dump, ThirtyThreePointsGiveOneNodeAndTwoLeaves) {
    // Zero normals make every coefficient zero; the sign of a zero is the
    // build's business, not the dump's.
    const std::string text = replaced(line_of_points(0, 33, 0)->dump(), "-0.0000", "0.0000");
    const std::string expected =
        kHeader + node_head(0) + node_box("16.0000, 0.5000, -2.2500", "0.000, 0.500, -2.250", "32.000, 0.500, -2.250") +
        kZeroNodeTerms +
        // Leaf packet 0: 17 rows.
        leaf_head(0) + leaf_box("8.0000, 0.5000, -2.2500", "0.00, 0.50, -2.25", "16.00, 0.50, -2.25") +
        kZeroLeafTerms + point_rows(0, 17, 8, 0) + kTableEnd + leaf_edge(0, 0, 0) +
        // Leaf packet 1: 16 rows, still headed "Max 32".
        leaf_head(1) + leaf_box("24.5000, 0.5000, -2.2500", "17.00, 0.50, -2.25", "32.00, 0.50, -2.25") +
        kZeroLeafTerms + point_rows(17, 16, 8, 0) + kTableEnd + leaf_edge(0, 1, 1) + empty_points(0, 0, 6) + "}\n";
    EXPECT_EQ(text, expected);
}

// A tree written by hand into a 65-point backend: packets of 32, 32 and 1
// points; node 0 holds node 1 (slot 0) and leaf packet 2 (slot 1); node 1
// holds packets 0 and 1. Every value is
// distinct, so each row shows which record and entry it was taken from.
// Records are stored in scene units and shown in caller units: the values
// below are written scaled by the backend's scene scale (exactly, it is a
// power of two), the corners less the scene's lower corner, and must come
// back as written.
TEST_F(Dump, HandMadeTreeShowsEveryRecordInBreadthFirstOrder) {
    const auto backend = line_of_points(0, 65, 1);
    const float s = backend->scene_scale();
    ASSERT_EQ(s, 1.0f / 128.0f);  // the line is 64 long
    // Corners are stored relative to the scene's lower corner (0, 0.5, -2.25).
    const auto half = [s](float x, float y, float z) {
        return Vec3_f16::from_float((Vec3{x, y, z} - Vec3{0.0f, 0.5f, -2.25f}) * s);
    };
    const auto in_scene_units = [s](TailorCoefficients t) {
        t.zero_order = t.zero_order * (s * s);
        for (float& m : t.first_order.m) m *= s * s * s;
        for (float& v : t.second_order.t) v *= s * s * s * s;
        return TailorCoefficientsF16::from_float(t);
    };
    constexpr std::uint32_t none = INVALID_INDEX;

    std::vector<BVH8Node> nodes(2);
    nodes[0] = {1, half(-1.5f, -2.0f, -3.0f), half(64.25f, 0.5f, 3.0f), {1.5f, 2.25f, -0.125f}, {}, 0};
    nodes[0].setChildMeta(0, Internal);
    nodes[0].setChildMeta(1, Leaf);
    nodes[1] = {2, half(0.0f, 0.5f, -2.25f), half(63.0f, 0.5f, -2.25f), {40.0f, 0.5f, -2.25f}, {}, 0};
    nodes[1].setChildMeta(0, Leaf);
    nodes[1].setChildMeta(1, Leaf);
    const std::vector<LeafPointers> slots = {{{none, 2, none, none, none, none, none, none}},
                                             {{0, 1, none, none, none, none, none, none}}};
    TailorCoefficients node_terms{{1.0f, -2.0f, 0.5f}, {}, {}};
    for (int i = 0; i < 9; ++i) node_terms.first_order.m[i] = 0.5f * float(i + 1);
    for (int i = 0; i < 18; ++i) node_terms.second_order.t[i] = float(i + 1);
    TailorCoefficients leaf_terms{{0.25f, 0.5f, 0.75f}, {}, {}};
    for (int i = 0; i < 9; ++i) leaf_terms.first_order.m[i] = -0.25f * float(i + 1);
    std::vector<AABB> boxes(5, AABB{});  // internal records 0, 1 are not shown
    for (int j = 0; j < 3; ++j) {
        const float x = 32.0f * float(j);
        boxes[2 + j] = {half(x, 0.5f, -2.25f), half(x + 31.0f, 0.5f, -2.25f), {x + 15.5f, 0.5f, -2.25f}, {}};
    }
    ASSERT_EQ(backend->packets_count(), 3u);
    overwrite(backend->packets_data(), std::vector<PacketRange>{{0, 32}, {32, 32}, {64, 1}});
    overwrite(backend->bvh8_node_count_data(), std::vector<unsigned>{2});
    overwrite(backend->bvh8_nodes_data(), nodes);
    overwrite(backend->leaf_pointers_data(), slots);
    overwrite(backend->node_coefficients_data(), {in_scene_units(node_terms), {}});
    overwrite(backend->leaf_coefficients_data(), {{}, {}, in_scene_units(leaf_terms)});
    overwrite(backend->node_aabbs_data(), boxes);

    const std::string node_0_terms =
        R"(      <TR><TD BGCOLOR="#bbdefb"><B>Zero Order</B></TD><TD>1.0000</TD><TD>-2.0000</TD><TD>0.5000</TD></TR>
      <TR><TD ROWSPAN="3" BGCOLOR="#bbdefb"><B>1st Order</B></TD>
        <TD>0.5000</TD><TD>1.0000</TD><TD>1.5000</TD></TR>
      <TR>
        <TD>2.0000</TD><TD>2.5000</TD><TD>3.0000</TD></TR>
      <TR>
        <TD>3.5000</TD><TD>4.0000</TD><TD>4.5000</TD></TR>
      <TR><TD COLSPAN="4" BGCOLOR="#bbdefb"><B>2nd Order</B></TD></TR>
      <TR><TD ROWSPAN="3">Slice 0</TD>
        <TD>1.0000</TD><TD>2.0000</TD><TD>3.0000</TD></TR>
      <TR>
        <TD>4.0000</TD><TD>5.0000</TD><TD>6.0000</TD></TR>
      <TR>
        <TD>7.0000</TD><TD>8.0000</TD><TD>9.0000</TD></TR>
      <TR><TD ROWSPAN="3">Slice 1</TD>
        <TD>4.0000</TD><TD>5.0000</TD><TD>6.0000</TD></TR>
      <TR>
        <TD>10.0000</TD><TD>11.0000</TD><TD>12.0000</TD></TR>
      <TR>
        <TD>13.0000</TD><TD>14.0000</TD><TD>15.0000</TD></TR>
      <TR><TD ROWSPAN="3">Slice 2</TD>
        <TD>7.0000</TD><TD>8.0000</TD><TD>9.0000</TD></TR>
      <TR>
        <TD>13.0000</TD><TD>14.0000</TD><TD>15.0000</TD></TR>
      <TR>
        <TD>16.0000</TD><TD>17.0000</TD><TD>18.0000</TD></TR>
    </TABLE>>];
  N0 -> N1 [label="0", weight=3];
)";
    const std::string leaf_2_terms =
        R"(      <TR><TD BGCOLOR="#c8e6c9"><B>Zero Order</B></TD><TD>0.2500</TD><TD>0.5000</TD><TD>0.7500</TD></TR>
      <TR><TD ROWSPAN="3" BGCOLOR="#c8e6c9"><B>1st Order</B></TD>
        <TD>-0.2500</TD><TD>-0.5000</TD><TD>-0.7500</TD></TR>
      <TR>
        <TD>-1.0000</TD><TD>-1.2500</TD><TD>-1.5000</TD></TR>
      <TR>
        <TD>-1.7500</TD><TD>-2.0000</TD><TD>-2.2500</TD></TR>
      <TR><TD COLSPAN="4" BGCOLOR="#c8e6c9"><I>Geometry (Max 32 Packets)</I></TD></TR>
)";
    const std::string expected =
        kHeader + node_head(0) +
        node_box("1.5000, 2.2500, -0.1250", "-1.500, -2.000, -3.000", "64.250, 0.500, 3.000") + node_0_terms +
        leaf_head(2) + leaf_box("79.5000, 0.5000, -2.2500", "64.00, 0.50, -2.25", "95.00, 0.50, -2.25") +
        leaf_2_terms + point_rows(64, 1, 8, 1) + kTableEnd + leaf_edge(0, 2, 1) + empty_points(0, 0, 6) +
        // Node 1 after all of node 0's slots; its empty points go on from E6.
        node_head(1) + node_box("40.0000, 0.5000, -2.2500", "0.000, 0.500, -2.250", "63.000, 0.500, -2.250") +
        kZeroNodeTerms + leaf_head(0) +
        leaf_box("15.5000, 0.5000, -2.2500", "0.00, 0.50, -2.25", "31.00, 0.50, -2.25") + kZeroLeafTerms +
        point_rows(0, 32, 8, 1) + kTableEnd + leaf_edge(1, 0, 0) + leaf_head(1) +
        leaf_box("47.5000, 0.5000, -2.2500", "32.00, 0.50, -2.25", "63.00, 0.50, -2.25") + kZeroLeafTerms +
        point_rows(32, 32, 8, 1) + kTableEnd + leaf_edge(1, 1, 1) + empty_points(1, 6, 6) + "}\n";
    EXPECT_EQ(backend->dump(), expected);

}

// sscanf that succeeds only when every field and the literal tail matched.
template <typename... Fields>
bool scan(const std::string& line, const std::string& format, Fields*... fields) {
    int consumed = -1;
    const int matched = std::sscanf(line.c_str(), (format + "%n").c_str(), fields..., &consumed);
    return matched == int(sizeof...(Fields)) && consumed >= 0;
}

// Reads a dump line by line against the device records of a built tree.
template <typename Geometry>
void expect_tree_structure(const NolithBackend<Geometry>& backend) {
    const std::size_t n = backend.point_count();
    const std::uint32_t leaves = backend.packets_count();
    const auto packets = read_back(backend.packets_data(), leaves);
    const std::uint32_t node_count = read_back(backend.bvh8_node_count_data(), 1)[0];
    ASSERT_GE(node_count, 1u);
    ASSERT_LE(node_count, leaves - 1);
    const auto nodes = read_back(backend.bvh8_nodes_data(), node_count);
    const auto slots = read_back(backend.leaf_pointers_data(), node_count);
    const auto boxes = read_back(backend.node_aabbs_data(), 2 * leaves - 1);
    const auto planes = read_back(backend.soa_geometry_data(), GeometryTraits<Geometry>::components * n);
    const std::string text = backend.dump();
    ASSERT_EQ(text.rfind(kHeader, 0), 0u);
    ASSERT_EQ(text.substr(text.size() - 2), "}\n");

    std::vector<unsigned> tables, announced{0};  // node tables; root + internal edge targets
    std::set<unsigned> leaves_seen;
    unsigned node = 0, slot = 0, internal = 0, leaf = 0, rows = 0, empties = 0, geometry_lines = 0, slices = 0;
    bool in_leaf = false;
    for (const std::string& line : lines_of(text)) {
        unsigned a = 0, b = 0, label = 0;
        char kind = 'E';
        float v[9];
        const bool labelled = scan(line, "  N%u -> %c%u [label=\"%u\"", &a, &kind, &b, &label);
        if (labelled || scan(line, "  N%u -> E%u [style=dotted", &a, &b)) {
            ASSERT_EQ(a, node);
            if (labelled) {
                EXPECT_EQ(label, slot) << line;
            }
            const ChildType type = nodes[node].getChildMeta(int(slot));
            if (kind == 'N') {
                EXPECT_EQ(type, Internal) << line;
                EXPECT_EQ(b, nodes[node].first_child + internal++) << line;
                announced.push_back(b);
            } else if (kind == 'L') {
                EXPECT_EQ(type, Leaf) << line;
                EXPECT_EQ(b, slots[node].leaf_index[slot]) << line;
                EXPECT_EQ(b, leaf) << "edge follows its packet's table";
            } else {
                EXPECT_EQ(type, Empty) << line;
                EXPECT_EQ(b + 1, empties) << "edge follows its point";
            }
            ++slot;
        } else if (scan(line, "  N%u [shape=none", &a)) {
            if (!tables.empty()) {
                EXPECT_EQ(slot, 8u) << "every slot of N" << node << " drawn";
            }
            ASSERT_LT(a, node_count);
            tables.push_back(node = a);
            slot = internal = 0;
        } else if (scan(line, "  L%u [shape=none", &a)) {
            EXPECT_TRUE(leaves_seen.insert(leaf = a).second) << "packet " << a << " drawn once";
            ASSERT_LT(a, leaves);
            in_leaf = true;
            rows = 0;
        } else if (scan(line, "  E%u [label", &a)) {
            EXPECT_EQ(a, empties++) << "empty points numbered across the dump";
        } else if (line.find("<I>CoM: (") != std::string::npos) {
            ASSERT_EQ(std::sscanf(line.c_str() + line.find("CoM: ("), "CoM: (%f, %f, %f)", &v[0], &v[1], &v[2]), 3);
            const Vec3 com = in_leaf ? boxes[leaves - 1 + leaf].com : nodes[node].com;
            EXPECT_NEAR(v[0], com.x, 6e-5f) << line;
            EXPECT_NEAR(v[1], com.y, 6e-5f) << line;
            EXPECT_NEAR(v[2], com.z, 6e-5f) << line;
        } else if (line ==
                   "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#c8e6c9\"><I>Geometry (Max 32 Packets)</I></TD></TR>") {
            ++geometry_lines;
        } else if (line.find("<TD ROWSPAN=\"3\">Slice ") != std::string::npos) {
            ++slices;
        } else if (scan(line, "      <TR><TD>P%u</TD>", &a)) {
            EXPECT_EQ(a, rows++) << line;
            const std::size_t at = line.find("POINT-SIZE=\"8\">");
            ASSERT_NE(at, std::string::npos) << line;
            const char* format = std::is_same<Geometry, Triangle>::value
                                     ? "POINT-SIZE=\"8\">v0:(%f, %f, %f) | v1:(%f, %f, %f) | v2:(%f, %f, %f)"
                                     : "POINT-SIZE=\"8\">Pos:(%f, %f, %f) | Norm:(%f, %f, %f)";
            const int components = int(GeometryTraits<Geometry>::components);
            ASSERT_EQ(std::sscanf(line.c_str() + at, format, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
                                  &v[8]),
                      components);
            for (int c = 0; c < components; ++c) {
                EXPECT_NEAR(v[c], planes[c * n + packets[leaf].first + a], 0.0051f) << line;
            }
        } else if (line == "    </TABLE>>];" && in_leaf) {
            EXPECT_EQ(rows, packets[leaf].count) << "rows of packet " << leaf;
            in_leaf = false;
        }
    }
    EXPECT_EQ(slot, 8u);
    EXPECT_EQ(tables, announced) << "breadth first: tables in the order their edges were drawn";
    EXPECT_EQ(std::set<unsigned>(tables.begin(), tables.end()).size(), node_count);
    EXPECT_EQ(leaves_seen.size(), leaves);
    EXPECT_EQ(geometry_lines, leaves);
    EXPECT_EQ(slices, 3 * node_count);
    // Eight slots per node, one of them for each node but the root and each packet.
    EXPECT_EQ(empties, 8 * node_count - (node_count - 1) - leaves);
}

std::vector<float> uniform_values(std::size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> uniform(-4.0f, 4.0f);
    std::vector<float> values(count);
    for (float& x : values) x = uniform(rng);
    return values;
}

TEST_F(Dump, BuiltTreesAreDrawnCompletely) {
    for (const std::size_t n : {33u, 100u, 1000u}) {
        SCOPED_TRACE(n);
        const auto backend = points_backend(uniform_values(3 * n, 1u + unsigned(n)), uniform_values(3 * n, 7));
        expect_tree_structure(*backend);
    }
    const auto soup = uniform_values(9 * 777, 5);
    expect_tree_structure(*triangles_backend(soup));
}

}  // namespace
