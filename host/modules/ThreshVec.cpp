// ThreshVec: copies every float component of `in` into `out_nd`, zero where
// component `comp` does not lie strictly between vec_min and vec_max.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_ThreshVec() {
    return {"ThreshVec", {"ThreshVecUpdate"}, "vectors kept where a scalar lies strictly between vec_min and vec_max",
            [](Object& m) {
                m.add_int("comp", 0, Role::In);
                m.add_real("vec_min", {}, Role::In);
                m.add_real("vec_max", {}, Role::In);
                m.add_field("in", Role::In);
                m.add_field("out_nd", Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
