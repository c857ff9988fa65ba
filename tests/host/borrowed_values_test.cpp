// A field that reads its values where the caller holds them: no copy is
// made, nothing the tree does writes them, and a copy of the field owns its
// values.
#include "module_test.h"

namespace {

class BorrowedValuesTest : public vtest::ModuleTest {};

TEST_F(BorrowedValuesTest, LentValuesAreReadInPlaceAndNeverWritten) {
    const std::vector<float> held = {40, 41, 42, 43, 44, 45};
    const std::vector<float> before = held;
    vhost::FieldRef f(host.add_field("lent"));
    f.nnodes(6).nspace(3);
    EXPECT_THROW(f.lend_floats("ze", std::span(held).first(5)), std::invalid_argument);   // not one per node
    f.lend_floats("ze", held, 1, "dBZ");
    EXPECT_EQ(f.float_view(f.ncomp() - 1).data(), held.data());
    EXPECT_EQ(f.units(f.ncomp() - 1), "dBZ");

    // A copy of the field owns its values.
    vhost::Object& copy = host.root().replace_with_copy("copy", f.object());
    const auto copied = vhost::FieldRef(copy).float_view(f.ncomp() - 1);
    EXPECT_NE(copied.data(), held.data());
    EXPECT_EQ(std::vector<float>(copied.begin(), copied.end()), held);

    // More nodes: the array moves to memory of its own, keeping the values.
    f.nnodes(8);
    const auto grown = f.float_view(f.ncomp() - 1);
    ASSERT_EQ(grown.size(), 8u);
    EXPECT_NE(grown.data(), held.data());
    EXPECT_EQ(std::vector<float>(grown.begin(), grown.begin() + 6), held);
    host.reset();
    EXPECT_EQ(held, before);
}

}  // namespace
