// CreateRainSlice: a turned stack of slice planes through one grid node.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_CreateRainSlice() {
    return {"CreateRainSlice", {"CalcRainSliceUpdate"},
            "stack of vertical slice planes through a grid node, turned about z", [](Object& m) {
                m.add_int("active", 1, Role::In);
                m.add_int("indexi", 0, Role::In);
                m.add_int("indexj", 0, Role::In);
                m.add_int("indexk", 0, Role::In);
                m.add_real("delta", 1.0, Role::In);
                m.add_real("angle", 0.0, Role::In);
                m.add_int("plane_num", 1, Role::In);
                m.add_field("in", Role::In);
                m.add_int("onum", 0, Role::Out);
                // Each plane is a uniform 2 x 2 mesh placed by its own transform.
                Object& plane = m.add_field_array("oplanes", shape({term("onum")}), Role::Out);
                plane.at("uniform").set_int(1);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
