// CreateRainTrans: checkerboard and reflectivity-ramp opacity of a grid.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_CreateRainTrans() {
    return {"CreateRainTrans", {"CreateRainTransUpdate"},
            "opacity grid: checkerboard trans_line and reflectivity ramp trans_ze", [](Object& m) {
                m.add_int("active", 1, Role::In);
                m.add_real("minlevel", 10.0, Role::In);
                m.add_real("maxlevel", 50.0, Role::In);
                m.add_int("zecomp", 0, Role::In);
                m.add_field("in", Role::In);
                // A uniform grid: coordinates follow from its points and dims.
                Object& out = m.add_field("out", Role::Out);
                out.at("uniform").set_int(1);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
