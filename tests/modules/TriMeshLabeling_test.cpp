// Cross-checked on generated meshes against the plain reference, console and notice included.
#include <malloc.h>

#include "division.h"
#include "labeling_reference.h"
#include "module_test.h"

namespace {

struct Mesh {
    std::vector<std::int64_t> cells;
    int per = 3;
    std::int64_t nnodes = 0;
    std::int64_t ncells() const { return static_cast<std::int64_t>(cells.size()) / per; }
};

struct Labelled : vref::Labelling {
    std::vector<int> labels;
};

Labelled run_library(const Mesh& m, int first_no = 0) {
    Labelled r;
    r.labels.assign(static_cast<std::size_t>(m.nnodes), 0);
    char msg[velmora::kMessageSize] = "";
    ::testing::internal::CaptureStdout();
    r.result = TriMeshLabeling(m.ncells(), m.cells.data(), m.per, m.nnodes, r.labels.data(), first_no, msg);
    std::fflush(stdout);
    r.console = ::testing::internal::GetCapturedStdout();
    r.message = msg;
    return r;
}

void expect_same_as_reference(const Mesh& m, int first_no = 0) {
    std::vector<int> want;
    vref::Labelling ref = vref::label(m.cells, m.per, m.nnodes, want, first_no);
    Labelled got = run_library(m, first_no);
    EXPECT_EQ(std::tie(got.result, got.message, got.console), std::tie(ref.result, ref.message, ref.console));
    EXPECT_EQ(got.labels, want);
}

// A triangulated nx x ny sheet with holes, triangles shuffled: provisional labels form long chains.
Mesh sheet(std::mt19937& rng, int nx, int ny, double hole, bool shuffle) {
    Mesh m;
    m.nnodes = static_cast<std::int64_t>(nx) * ny;
    std::bernoulli_distribution drop(hole);
    std::vector<std::array<std::int64_t, 3>> tris;
    for (int j = 0; j + 1 < ny; ++j)
        for (int i = 0; i + 1 < nx; ++i) {
            if (drop(rng)) continue;
            std::int64_t a = j * nx + i, b = a + 1, c = a + nx, d = c + 1;
            tris.push_back({a, b, d});
            tris.push_back({a, d, c});
        }
    if (shuffle) std::shuffle(tris.begin(), tris.end(), rng);
    for (auto& t : tris) m.cells.insert(m.cells.end(), t.begin(), t.end());
    return m;
}

Mesh star(int leaves) { return {vref::star(leaves), 3, 3 * (leaves + 1)}; }

TEST(TriMeshLabeling, WorkedExamplesPassLimitAndBadArguments) {
    // Provisional labels 1 (nodes 0-3, 6) and 2 (4, 5); one merge maps 1 to 2, numbered as the first area.
    Labelled r = run_library({{0, 1, 2, 3, 4, 5, 2, 6, 3}, 3, 7});
    EXPECT_EQ(r.labels, std::vector<int>(7, 1));
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.console, "");
    // Sharing one node is enough; without it, areas go by first appearance.
    EXPECT_EQ(run_library({{0, 1, 2, 2, 3, 4}, 3, 5}).labels, std::vector<int>(5, 1));
    Mesh apart{{4, 5, 3, 0, 1, 2}, 3, 6};
    r = run_library(apart);
    EXPECT_EQ(r.labels, (std::vector<int>{2, 2, 2, 1, 1, 1}));
    EXPECT_EQ(r.result, 3);
    // The first area number moves the numbering; below 1 counts as 1.
    r = run_library(apart, 10);
    EXPECT_EQ(r.labels, (std::vector<int>{11, 11, 11, 10, 10, 10}));
    EXPECT_EQ(r.result, 12);
    EXPECT_EQ(run_library(apart, -4).result, 3);
    // Nodes of no cell keep 0; quadruples work the same way.
    r = run_library({{1, 3, 5, 7}, 4, 9});
    EXPECT_EQ(r.labels, (std::vector<int>{0, 1, 0, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(r.result, 2);
    // No cells: no areas, the first number (at least 1) is the result.
    for (int first : {0, 1, 7, -2}) {
        Labelled r = run_library({{}, 3, 4}, first);
        EXPECT_EQ(r.labels, std::vector<int>(4, 0));
        EXPECT_EQ(r.result, std::max(first, 1));
        EXPECT_EQ(r.message, "");
    }
    EXPECT_EQ(TriMeshLabeling(0, nullptr, 3, 0, nullptr, 0, nullptr), 1);
    // Given labels without cells are numbered whatever fresh memory holds (M_PERTURB fills new blocks with 0x01).
    mallopt(M_PERTURB, 0xfe);
    std::vector<int> given{0, 400, 0, 400};
    const int next = TriMeshLabeling(0, nullptr, 3, 4, given.data(), 0, nullptr);
    mallopt(M_PERTURB, 0);
    EXPECT_EQ(given, (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(next, 2);
    // The star needs one pass per leaf: 1000 leaves stay within the limit.
    Labelled within = run_library(star(1000));
    EXPECT_EQ(within.message, "");
    EXPECT_EQ(within.console, "");
    EXPECT_EQ(within.result, 2);
    for (int leaves : {1001, 1200}) {
        SCOPED_TRACE(leaves);
        Mesh m = star(leaves);
        Labelled r = run_library(m);
        EXPECT_EQ(r.message, "CONNECT_CHECK_MAX_COUNT exceeded!");
        EXPECT_EQ(r.console, "TriMeshLabeling CONNECT_CHECK_MAX_COUNT exceeded!\n");
        // 1001 passes joined 1001 leaves to the hub; the rest stay apart.
        EXPECT_EQ(r.result, leaves - 1001 + 2);
        expect_same_as_reference(m);
    }
    // Bad arguments are refused without touching the labels.
    std::vector<int> labels(4, 0);
    std::vector<std::int64_t> cells{0, 1, 4};   // node 4 of 4 nodes
    char msg[velmora::kMessageSize] = "";
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, 4, labels.data(), 0, msg), 0);
    EXPECT_STREQ(msg, "can't label cells(node_connect exceeds nnodes)");
    cells = {0, -1, 2};
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, 4, labels.data(), 0, msg), 0);
    EXPECT_STREQ(msg, "can't label cells(node_connect exceeds nnodes)");
    EXPECT_EQ(labels, std::vector<int>(4, 0));

    cells = {0, 1, 2};
    EXPECT_EQ(TriMeshLabeling(1, nullptr, 3, 4, labels.data(), 0, msg), 0);
    EXPECT_STREQ(msg, "can't label cells(bad arguments)");
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 0, 4, labels.data(), 0, msg), 0);
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, 4, nullptr, 0, msg), 0);
    EXPECT_EQ(TriMeshLabeling(-1, cells.data(), 3, 4, labels.data(), 0, msg), 0);
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, -4, labels.data(), 0, msg), 0);

    labels[3] = -1;
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, 4, labels.data(), 0, msg), 0);
    EXPECT_STREQ(msg, "can't label cells(label below 0)");
    // A first number that leaves no room for the areas.
    labels.assign(4, 0);
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, 4, labels.data(), INT32_MAX, msg), 0);
    EXPECT_STREQ(msg, "area number exceeds INT_MAX");
    labels.assign(4, 0);
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, 4, labels.data(), INT32_MAX - 1, msg), INT32_MAX);
    EXPECT_EQ(labels, (std::vector<int>{INT32_MAX - 1, INT32_MAX - 1, INT32_MAX - 1, 0}));
    // Labels the caller leaves in place take part like provisional ones.
    labels = {0, 0, 0, 9, 9};
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, 5, labels.data(), 0, msg), 3);
    EXPECT_EQ(labels, (std::vector<int>{1, 1, 1, 2, 2}));
    labels = {0, 9, 0, 0};
    EXPECT_EQ(TriMeshLabeling(1, cells.data(), 3, 4, labels.data(), 0, msg), 2);
    EXPECT_EQ(labels, (std::vector<int>{1, 1, 1, 0}));
}

// Random cells are held to the reference through the division modules' tests; here long chains.
TEST(TriMeshLabeling, MatchesTheReferenceOnGeneratedSheets) {
    std::mt19937 rng(20060120);
    int most_passes = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        Mesh m = sheet(rng, 20 + round * 5, 15 + round * 3, 0.05 * (round % 8), round % 4 != 0);
        std::vector<int> labels;
        most_passes = std::max(most_passes, vref::label(m.cells, 3, m.nnodes, labels, 0).passes);
        expect_same_as_reference(m, round % 3);
    }
    EXPECT_GT(most_passes, 5);
}

}  // namespace
