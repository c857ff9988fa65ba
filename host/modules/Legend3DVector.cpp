// Legend3DVector: reference arrows for u, v and w at ndiv + 1 heights on grid
// column (indexi, indexj) of `in` (`ovec`) and their length labels
// (`olabel`). `vparam` holds the nine factors of the vector scaling; link it
// to a ScaleVector instance to scale the arrows exactly like the data.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_Legend3DVector() {
    return {"Legend3DVector", {"Legend3DVectorUpdate"}, "legend vector glyphs", [](Object& m) {
                m.add_int("active", 1, Role::In);
                m.add_field("in", Role::In);
                m.add_int("indexi", 0, Role::In);
                m.add_int("indexj", 0, Role::In);
                m.add_real("min", 0.0, Role::In);
                m.add_real("max", {}, Role::In);
                m.add_int("ndiv", 0, Role::In);
                m.add_int("vecmode", 0, Role::In);
                m.add_real("veclenx", 10.0, Role::In);
                m.add_real("vecleny", 10.0, Role::In);
                m.add_real("veclenz", 1.0, Role::In);
                m.add_string("format", "%.1f", Role::In);
                for (const char* o : {"vecloffux", "vecloffuy", "vecloffuz", "vecloffvx", "vecloffvy", "vecloffvz",
                                      "vecloffwx", "vecloffwy", "vecloffwz"})
                    m.add_real(o, 0.0, Role::In);
                Object& vparam = m.add_group("vparam", Role::In);
                for (const char* f : {"fixed_u", "fixed_v", "fixed_w", "disp_u", "disp_v", "disp_w", "arbit_u",
                                      "arbit_v", "arbit_w"})
                    vparam.add_real(f, 1.0);
                m.add_field("ovec", Role::Out);
                Object& label = m.add_field("olabel", Role::Out);
                label.add_str_array("text_values", shape({term("nnodes")}), Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
