// ThreshMin: thresholds every scalar float component of `in` into `out_nd`.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_ThreshMin() {
    return {"ThreshMin", {"ThreshMinUpdate"}, "values below thresh_value become null_value", [](Object& m) {
                m.add_real("thresh_value", {}, Role::In);
                m.add_real("null_value", {}, Role::In);
                m.add_field("in", Role::In);
                m.add_field("out_nd", Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
