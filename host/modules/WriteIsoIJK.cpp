// WriteIsoIJK: the grid indices of every node of each area no_min..no_max of
// the structured field `in` (integer component 0), written to `filename`.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_WriteIsoIJK() {
    return {"WriteIsoIJK", {"WriteIsoIJKUpdate"}, "area node indices to a text file", [](Object& m) {
                m.add_int("nspace3", 1, Role::In);   // 0: a two-dimensional grid
                m.add_int("k", 0, Role::In);         // the k written on a two-dimensional grid
                m.add_string("filename", {}, Role::In);
                m.add_int("no_min", 1, Role::In);
                m.add_int("no_max", 0, Role::In);
                m.add_field("in", Role::In);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
