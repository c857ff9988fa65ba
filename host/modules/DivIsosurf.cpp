// DivIsosurf: connected areas of the triangle and quadrilateral surface `in`,
// numbered per node in `out_nd` (integer component "area_no").
#include "../declare.h"

namespace vhost {

ModuleDecl declare_DivIsosurf() {
    return {"DivIsosurf", {"DivIsosurfUpdate"}, "isosurface divided into numbered areas", [](Object& m) {
                m.add_int("active", 1, Role::In);
                // Areas of at most this many triangles are dropped; 0 keeps all.
                m.add_int("min_cells", 0, Role::In);
                m.add_field("in", Role::In);
                m.add_int("no_min", 0, Role::Out);
                m.add_int("no_max", 0, Role::Out);
                m.add_field("out_nd", Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
