// ScaleVector: three scalar components of `in` as a scaled 3-vector and the
// unscaled magnitude in `out`; the nine factors are shared with the vector
// legend, whose `vparam` can link to this instance.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_ScaleVector() {
    return {"ScaleVector", {"ScaleVectorUpdate"}, "u, v, w scaled per axis into vec_scale and vec_scale_mag",
            [](Object& m) {
                set_ints(m.add_free_array("comp", DTYPE_INT, Role::In), {0, 1, 2});
                m.add_real("thresh_value", {}, Role::In);
                for (const char* f : {"fixed_u", "fixed_v", "fixed_w", "disp_u", "disp_v", "disp_w", "arbit_u",
                                      "arbit_v", "arbit_w"})
                    m.add_real(f, 1.0, Role::In);
                m.add_field("in", Role::In);
                m.add_field("out", Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
