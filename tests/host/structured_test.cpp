// Structured meshes on the substitute host: new dims bring the node count,
// and with it the arrays sized by nnodes, along.
#include "module_test.h"

namespace {

class StructuredTest : public vtest::ModuleTest {};

TEST_F(StructuredTest, SettingDimsSetsTheNodeCount) {
    vhost::Object& f = host.add_field("grid");
    OMobj_id id = host.id_of(f);
    ASSERT_EQ(FLDset_nspace(&id, 3), 1);
    ASSERT_EQ(FLDset_ndim(&id, 2), 1);
    std::int64_t dims[2] = {4, 5};
    ASSERT_EQ(FLDset_dims(&id, dims), 1);
    std::int64_t nnodes = 0;
    ASSERT_EQ(FLDget_nnodes(&id, &nnodes), 1);
    EXPECT_EQ(nnodes, 20);
    float* coord = nullptr;
    std::int64_t size = 0;
    ASSERT_EQ(FLDget_coord(&id, &coord, &size, OM_GET_ARRAY_WR), 1);
    EXPECT_EQ(size, 60);
    ARRfree_f(coord, __FILE__, __LINE__);
    ASSERT_EQ(FLDset_node_data_ncomp(&id, 1), 1);
    ASSERT_EQ(FLDset_node_data_type(&id, 0, DTYPE_FLOAT), 1);
    ASSERT_EQ(FLDset_node_data_veclen(&id, 0, 1), 1);
    char* data = nullptr;
    int type = 0;
    ASSERT_EQ(FLDget_node_data(&id, 0, &type, &data, &size, OM_GET_ARRAY_WR), 1);
    EXPECT_EQ(size, 20);
    ARRfree_f(data, __FILE__, __LINE__);

    // Negative or overflowing dims are stored but leave the count alone.
    std::int64_t bad[2] = {-1, 5};
    EXPECT_EQ(FLDset_dims(&id, bad), 1);
    FLDget_nnodes(&id, &nnodes);
    EXPECT_EQ(nnodes, 20);
    std::int64_t huge[2] = {INT64_MAX / 2, 3};
    EXPECT_EQ(FLDset_dims(&id, huge), 1);
    FLDget_nnodes(&id, &nnodes);
    EXPECT_EQ(nnodes, 20);
}

}  // namespace
