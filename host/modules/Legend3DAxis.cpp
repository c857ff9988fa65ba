// Legend3DAxis: a vertical axis from min to max on grid column
// (indexi, indexj) of `in`, as one node with a vector in `oaxis`.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_Legend3DAxis() {
    return {"Legend3DAxis", {"Legend3DAxisUpdate"}, "legend axis: one node carrying a vertical vector", [](Object& m) {
                m.add_int("active", 1, Role::In);
                m.add_field("in", Role::In);
                m.add_int("indexi", 0, Role::In);
                m.add_int("indexj", 0, Role::In);
                m.add_real("min", 0.0, Role::In);
                m.add_real("max", {}, Role::In);
                m.add_field("oaxis", Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
