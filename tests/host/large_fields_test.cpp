// Building and handing over large fields without copies.
#include "module_test.h"

namespace {

class LargeFieldsTest : public vtest::ModuleTest {};

// The builders that hand out the field's own memory (what the copying ones make is every module test's field).
TEST_F(LargeFieldsTest, InPlaceBuildersFillTheFieldWhereItLies) {
    const std::vector<float> xyz = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1};
    const std::vector<std::int64_t> tets = {0, 1, 2, 3, 1, 2, 3, 4};
    const std::vector<float> ze = {40, 41, -9999, 43, 44};
    const std::vector<std::int32_t> no = {1, -1, 2, -2, 3, -3, 4, -4, 5, -5};
    vhost::FieldRef built(host.add_field("built"));
    built.nnodes(5).nspace(3);
    auto c = built.coord_buffer();
    auto t = built.add_cells("Tet", 2);
    auto z = built.add_floats("ze", 1, "dBZ");
    auto n = built.add_ints("no", 2, "n");
    ASSERT_EQ((std::vector<std::size_t>{c.size(), t.size(), z.size(), n.size()}),
              (std::vector<std::size_t>{xyz.size(), tets.size(), ze.size(), no.size()}));
    std::copy(xyz.begin(), xyz.end(), c.begin());
    std::copy(tets.begin(), tets.end(), t.begin());
    std::copy(ze.begin(), ze.end(), z.begin());
    std::copy(no.begin(), no.end(), n.begin());
    // Read back through the views in place; a view of another type is empty.
    EXPECT_EQ(built.coord(), xyz);
    EXPECT_EQ(built.connect(0), tets);
    EXPECT_EQ(built.cell_set(0).at("ncells").int_value(), 2);
    vtest::expect_component(built, 0, DTYPE_FLOAT, 1, "ze", "dBZ");
    vtest::expect_component(built, 1, DTYPE_INT, 2, "no", "n");
    EXPECT_EQ(std::vector<float>(built.float_view(0).begin(), built.float_view(0).end()), ze);
    EXPECT_EQ(std::vector<std::int32_t>(built.int_view(1).begin(), built.int_view(1).end()), no);
    EXPECT_EQ(static_cast<const void*>(built.float_view(0).data()), built.component(0).at("values").data());
    EXPECT_TRUE(built.int_view(0).empty());
    EXPECT_TRUE(built.float_view(1).empty());
    EXPECT_THROW(built.add_cells("Polyline", 1), std::invalid_argument);
}

TEST_F(LargeFieldsTest, ValuesChangeHandsWithoutACopy) {
    vhost::FieldRef to(host.add_field("to")), from(host.add_field("from"));
    to.nnodes(3).floats("ze", {1, 2, 3});
    from.nnodes(3).floats("x", {4, 5, 6}).ints("area", {7, 0, 9}, 1, "n").null_value(1, 0.0);
    const void* values = from.int_view(1).data();
    to.move_last_component(from, "cell");
    ASSERT_EQ(to.ncomp(), 2);
    EXPECT_EQ(to.label(1), "cell");
    EXPECT_EQ(to.units(1), "n");
    EXPECT_TRUE(to.null_flag(1));
    EXPECT_EQ(to.int_values(1), (std::vector<std::int32_t>{7, 0, 9}));
    EXPECT_EQ(static_cast<const void*>(to.int_view(1).data()), values);
    EXPECT_EQ(from.ncomp(), 1);
    EXPECT_EQ(from.float_values(0), (std::vector<float>{4, 5, 6}));
    vhost::FieldRef other(host.add_field("other"));
    other.nnodes(4).floats("y", {1, 2, 3, 4});
    EXPECT_THROW(to.move_last_component(other, "y"), std::invalid_argument);
    EXPECT_EQ(other.ncomp(), 1);
}

// Values read where the caller holds them; that analyses leave them as they were is the binding's test.
TEST_F(LargeFieldsTest, LentValuesAreReadInPlace) {
    const std::vector<float> held = {40, 41, 42, 43, 44, 45};
    const std::vector<float> before = held;
    vhost::FieldRef f(host.add_field("lent"));
    f.nnodes(6).nspace(3);
    EXPECT_THROW(f.lend_floats("ze", std::span(held).first(5)), std::invalid_argument);   // not one per node
    f.lend_floats("ze", held, 1, "dBZ");
    EXPECT_EQ(f.float_view(f.ncomp() - 1).data(), held.data());
    EXPECT_EQ(f.units(f.ncomp() - 1), "dBZ");
    // More nodes: the array moves to memory of its own, keeping the values.
    f.nnodes(8);
    const auto grown = f.float_view(f.ncomp() - 1);
    ASSERT_EQ(grown.size(), 8u);
    EXPECT_NE(grown.data(), held.data());
    EXPECT_EQ(std::vector<float>(grown.begin(), grown.begin() + 6), held);
    host.reset();
    EXPECT_EQ(held, before);
}

// Between runs a live network gives back the huge pages of zeros in its large arrays: only pages that
// hold nothing but zeros, whole, and every value reads as it was.
TEST_F(LargeFieldsTest, ZeroPagesAreGivenBackAndReadAsBefore) {
    constexpr std::size_t page = std::size_t{2} << 20;
    vhost::LargeVector<std::byte> block(4 * page);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block.data()) % page, 0u);   // large blocks start on a huge page
    block[2 * page - 1] = std::byte{7};   // the last byte of the second page
    block[3 * page] = std::byte{1};       // the first of the fourth
    EXPECT_EQ(vhost::release_zero_pages(block.data() + 1, 2 * page - 2), 0u);   // holds no page whole
    EXPECT_EQ(vhost::release_zero_pages(block.data(), block.size()), 2 * page);
    const auto nonzero = std::count_if(block.begin(), block.end(), [](std::byte b) { return b != std::byte{0}; });
    EXPECT_EQ(nonzero, 2);
    EXPECT_EQ(block[2 * page - 1], std::byte{7});
    EXPECT_EQ(block[3 * page], std::byte{1});
    block[0] = std::byte{3};   // a page given back takes values again
    EXPECT_EQ(block[0], std::byte{3});
}

}  // namespace
