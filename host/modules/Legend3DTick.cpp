// Legend3DTick: ndiv + 1 ticks from min to max on grid column
// (indexi, indexj) of `in` (`otick`) and their height labels (`olabel`).
#include "../declare.h"

namespace vhost {

ModuleDecl declare_Legend3DTick() {
    return {"Legend3DTick", {"Legend3DTickUpdate"}, "legend ticks and labels", [](Object& m) {
                m.add_int("active", 1, Role::In);
                m.add_field("in", Role::In);
                m.add_int("indexi", 0, Role::In);
                m.add_int("indexj", 0, Role::In);
                m.add_real("min", 0.0, Role::In);
                m.add_real("max", {}, Role::In);
                m.add_int("ndiv", 4, Role::In);
                m.add_real("ticklen", 1.0, Role::In);
                m.add_real("angle", 0.0, Role::In);
                m.add_string("format", "%.1f", Role::In);
                for (const char* o : {"tickloffx", "tickloffy", "tickloffz"}) m.add_real(o, 0.0, Role::In);
                m.add_field("otick", Role::Out);
                Object& label = m.add_field("olabel", Role::Out);
                label.add_str_array("text_values", shape({term("nnodes")}), Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
