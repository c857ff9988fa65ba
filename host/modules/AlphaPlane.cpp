// AlphaPlane: opacity and data of a grid projected along one axis.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_AlphaPlane() {
    return {"AlphaPlane", {"AlphaPlaneUpdate"},
            "opacity and data sum of a grid projected along one axis onto a slice", [](Object& m) {
                m.add_field("in", Role::In);
                m.add_field("out", Role::Out);
                m.add_int("axis", 2, Role::In);
                m.add_long("plane", 0, Role::In);
                m.add_int("comp", 0, Role::In);
                m.add_real("alpha_min", 0.0, Role::In);
                m.add_real("alpha_max", 1.0, Role::In);
                m.add_real("data_min", 0.0, Role::In);
                m.add_real("data_max", 60.0, Role::In);
                m.add_real("null_value", -9999.0, Role::In);
                m.add_int("mask_active", 0, Role::In);
                m.add_string("mask_label", "", Role::In);
                m.add_int("sphere", 0, Role::In);
                m.add_real("scale", 1.0, Role::In);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
