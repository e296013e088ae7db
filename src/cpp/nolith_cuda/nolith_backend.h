#pragma once
// NolithBackend<Geometry>: the engine behind one Python NolithEngine. It owns
// one geometry's stream, events and device storage on one device, runs the
// build, answers queries and renders the tree. Created only through its
// static factories; immutable after the build.
//
// This header needs only the CUDA runtime types, so host-compiled code (the
// Python binding) can include it in both build flavours.

#include "nolith_cuda/scene_params.h"
#include "utils/device_memory.h"
#include "utils/stream_buffer.h"

#include <cuda_runtime.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct Triangle;
struct PointNormal;
struct AABB;
struct BVH8Node;
struct LeafPointers;
struct PacketRange;
struct TailorCoefficientsF16;
struct TailorCoefficientsTraceFree;
template <typename Geometry>
struct ComputeWindingNumbersParams;

template <typename Geometry>
class NolithBackend {
public:
    using Result = std::unique_ptr<float, nolith_cuda::CudaDeleter>;

    // Allocates the storage for `count` elements on the current device (the
    // factory made `device` current). Never throws: a failed runtime call is
    // reported and remembered, and the factory raises it (construction_error).
    NolithBackend(unsigned long count, int device);
    ~NolithBackend();
    NolithBackend(const NolithBackend&) = delete;
    NolithBackend& operator=(const NolithBackend&) = delete;

    unsigned long point_count() const { return count; }
    int device_id() const { return device; }

    static std::unique_ptr<NolithBackend<Triangle>> CreateFromTriangles(const float* triangles, unsigned long count,
                                                                       int device);
    static std::unique_ptr<NolithBackend<Triangle>> CreateFromMesh(const float* vertices, unsigned long vertex_count,
                                                                  const unsigned int* indices, unsigned long count,
                                                                  int device);
    static std::unique_ptr<NolithBackend<PointNormal>> CreateFromPoints(const float* points, const float* normals,
                                                                       unsigned long count, int device);
    static std::unique_ptr<NolithBackend<PointNormal>> CreateForSolver(const float* points, unsigned long count,
                                                                      int device);

    // Winding numbers at `n` query points (3n floats on the device), queued
    // on the caller's stream; the result is freed on that stream.
    Result compute(const float* queries, unsigned long n, float beta, float epsilon, cudaStream_t stream) const;
    Result brute_force(const float* queries, unsigned long n, float epsilon, cudaStream_t stream) const;

    // The tree as Graphviz text.
    std::string dump() const;

    // The frame of compute's walk, for every walk over the tree (values, the
    // gradients' transpose, the benchmarks' census): Morton order of the
    // queries, the wait for the build, the walk's parameters; `launch` queues
    // the walk itself. The query call is remembered for the gradients unless
    // `remember` is false (a gradient's own walk).
    using WalkLaunch = std::function<void(const ComputeWindingNumbersParams<Geometry>&, cudaStream_t)>;
    Result walk(const float* queries, unsigned long n, float beta, float epsilon, cudaStream_t stream,
                const WalkLaunch& launch, bool remember) const;

    // Makes the engine's stream, and with it every later free of the tree,
    // wait for the work a query queued on the caller's stream. Reports only.
    void order_after(cudaStream_t caller) const noexcept;

    // The differentiable workflow. get_normals: a copy of the scaled normals
    // in the caller's order (N x 3, points only). The gradients follow the
    // most recent compute or brute_force call, whose queries, epsilon, beta
    // and method the engine keeps: dL/dn (N x 3, points only) and dL/dp per
    // point (N x 3), per triangle corner (N x 3 x 3) or per mesh vertex
    // (M x 3, see gradient_rows). grad_output holds dL/dw, one value per
    // query of that call. The result is queued on that call's stream.
    Result get_normals() const;
    Result grad_normals(const float* grad_output, unsigned long n) const;
    Result grad_points(const float* grad_output, unsigned long n) const;
    // Rows of grad_points: N for points and soups (of 3 or 9 floats), M for meshes.
    unsigned long gradient_rows() const { return from_mesh ? mesh_vertex_count : count; }
    bool is_mesh() const { return from_mesh; }
    void solve_for_normals(const float* extra_points, unsigned long k, const float* extra_wn, const float* pc_wn,
                           float alpha_extra);
    // The solver's iteration cap, lower only for benchmarks that time a few iterations.
    int solver_iteration_cap = 100;

    // How the most recent solve_for_normals went (for the benchmarks).
    struct SolveReport {
        int iterations = 0;
        double residual_start = 0.0, residual = 0.0;  // |W^1/2 (M n - t)| before and after
        double gradient_ratio = 0.0;                  // |gradient| / |first gradient| at the end
        double regularisation = 0.0;
        double epsilon = 0.0;              // of the products
        int forward_products = 0;          // walks of compute over the solver's queries
        int transpose_products = 0;        // walks of its transpose
        unsigned long other_queries = 0;   // of the walks that set the final directions and lengths
        double length_scale = 1.0;         // the common factor of the neighbours' areas
    };
    const SolveReport& last_solve() const { return solve_report; }

    // New scaled normals for a point cloud's engine, as three planes of N
    // floats in sorted order (caller units); the tree is refitted to them.
    void refit_normals(const float* normal_planes);

    // The build (called once by the factories).
    void initialize_triangle_data(const float* triangles);
    void initialize_point_data(const float* points, const float* normals);

    // Morton codes of the n input elements (Triangle or Vec3), in input order.
    template <typename Element>
    void initializeMortonCodes(const Element* elements, unsigned long long* codes);

    // Storage, for tests and the dump: device pointers, null when empty.
    const unsigned int* sorted_indices_data() const { return sorted_indices; }
    const float* soa_geometry_data() const { return soa_geometry; }
    const AABB* node_aabbs_data() const { return node_aabbs; }
    const unsigned int* bvh8_node_count_data() const { return bvh8_node_count; }
    const BVH8Node* bvh8_nodes_data() const { return bvh8_nodes; }
    const TailorCoefficientsF16* node_coefficients_data() const { return node_coefficients; }
    const TailorCoefficientsF16* leaf_coefficients_data() const { return leaf_coefficients; }
    const LeafPointers* leaf_pointers_data() const { return leaf_pointers; }
    const PacketRange* packets_data() const { return packets; }
    const TailorCoefficientsTraceFree* node_far_field_data() const { return node_far_field; }
    const TailorCoefficientsTraceFree* leaf_far_field_data() const { return leaf_far_field; }
    // Leaf packets of the tree (0 for an empty geometry).
    std::uint32_t packets_count() const { return packet_count; }
    cudaStream_t build_stream() const { return stream; }
    cudaEvent_t build_done() const { return build_done_event; }
    std::uint32_t levels() const { return tree_levels; }
    // BVH8 nodes, as the build read them back, and the device bytes of the
    // tree beside the sorted geometry (bounds, nodes, leaf tables, expansions).
    std::uint32_t node_count() const { return tree_nodes; }
    std::size_t tree_bytes() const;
    // Caller units times this power of two are the scene units of the
    // half-precision records (box corners, radii, coefficients).
    float scene_scale() const { return scene.scene_scale; }
    // The scene box's lower corner (caller units): the tree's box corners are
    // stored relative to it.
    const float* scene_lower() const { return scene.lower; }

private:
    template <typename>
    friend class NolithBackend;

    // Stages shared by both geometry kinds, after the caller's input has been
    // ordered: everything that reads only the sorted planes.
    void build_tree(nolith_cuda::StreamBuffer<unsigned long long>& morton_codes);
    // The packet table from the sorted codes; returns the packet count.
    std::uint32_t cut_packets(const unsigned long long* sorted_codes);
    // The tree's buffers for `leaves` packets, on the engine's stream.
    void allocate_tree(std::uint32_t leaves);

    Result allocate_result(unsigned long n, cudaStream_t caller) const;
    // What a negative epsilon stands for: a length relative to the scene's extent.
    float default_epsilon() const;

    // Queues every element's exact contribution to n queries (zeros for an
    // empty geometry) on the caller's stream.
    void evaluate_exactly(const float* queries, std::uint32_t n, float* out, float epsilon, cudaStream_t caller) const;

    template <typename Factory>
    static std::unique_ptr<NolithBackend> create(const char* banner, unsigned long count, int device, Factory&& steps);

    // The first failed runtime call of the constructor, as its report text.
    void note_failure(cudaError_t status, int line, bool allocation) noexcept;
    void raise_construction_failure() const;

    int device;
    cudaStream_t stream = nullptr;
    cudaEvent_t build_start_event = nullptr;
    cudaEvent_t build_done_event = nullptr;
    // Recorded at the end of each query on the caller's stream; the engine's
    // stream waits for it. The lock keeps a record and its wait together
    // when queries come from several threads.
    cudaEvent_t query_done_event = nullptr;
    mutable std::mutex query_order_lock;

    // What the gradients need of the most recent query call (guarded by
    // query_order_lock): a device copy of its queries, freed on `stream`.
    struct LastQuery {
        bool valid = false;
        bool fast = false;  // compute, or brute_force
        float* queries = nullptr;
        unsigned long count = 0;
        float beta = 0.0f, epsilon = 0.0f;
        cudaStream_t stream = nullptr;
    };
    mutable LastQuery last_query;
    void remember_query(const float* queries, unsigned long n, float beta, float epsilon, bool fast,
                        cudaStream_t caller) const;
    // The most recent query, checked against a gradient of n values.
    LastQuery query_for_gradient(unsigned long n, const char* what) const;
    // dL/d(element) planes in sorted order (compute_brute_force_vjp's layout)
    // for the remembered query, queued on its stream.
    nolith_cuda::StreamBuffer<float> element_gradients(const LastQuery& query, const float* grad_output) const;

    // An indexed mesh keeps its triangle indices (3N) and vertex count, to sum
    // corner gradients onto shared vertices.
    bool from_mesh = false;
    unsigned int* mesh_indices = nullptr;
    unsigned long mesh_vertex_count = 0;
    unsigned long count;

    unsigned int* sorted_indices = nullptr;
    float* soa_geometry = nullptr;
    PacketRange* packets = nullptr;
    std::uint32_t packet_count = 0;
    AABB* node_aabbs = nullptr;
    unsigned int* bvh8_node_count = nullptr;
    BVH8Node* bvh8_nodes = nullptr;
    TailorCoefficientsF16* node_coefficients = nullptr;
    TailorCoefficientsF16* leaf_coefficients = nullptr;
    LeafPointers* leaf_pointers = nullptr;
    // The walk's trace-free float32 records of the same expansions.
    TailorCoefficientsTraceFree* node_far_field = nullptr;
    TailorCoefficientsTraceFree* leaf_far_field = nullptr;

    // Levels of the BVH8 (root level included), measured by the collapse; it
    // sizes the traversal stack.
    std::uint32_t tree_levels = 0;
    SolveReport solve_report;

    // Number of BVH8 nodes, as the build read it back.
    std::uint32_t tree_nodes = 0;

    // The scene's box and scales, measured by the build's first stage; the
    // queries order their points and scale their arithmetic with it.
    nolith_cuda::SceneParams scene;

    std::string construction_failure;
    bool construction_failure_is_allocation = false;
};
