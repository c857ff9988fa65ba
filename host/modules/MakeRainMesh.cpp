// MakeRainMesh: vertical polylines through the value bands of a rain grid.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_MakeRainMesh() {
    return {"MakeRainMesh", {"MakeRainMeshConstant_update", "MakeRainMeshLinear_update"},
            "vertical polylines through the value band of every grid column", [](Object& m) {
                m.add_int("component", 0, Role::In);
                m.add_field("in_mesh", Role::In);
                // Unset bounds fall back to the component's minimum and maximum.
                m.add_real("minValue", {}, Role::In);
                m.add_real("maxValue", {}, Role::In);
                // The spacing of the points along z. The linear entry
                // spaces a point after a sample of value v by
                // length * (1 + v / (maxValue - minValue)): length where the
                // value is 0 or below, twice that at the band's width.
                m.add_real("length", 0.1, Role::In);
                // Points in space with one float value each, joined by polylines.
                Object& out = m.add_field("out_mesh", Role::Out);
                FieldRef(out).nspace(3).declare_component(0, DTYPE_FLOAT, 1, "rain").polylines({});
            }};
}

}  // namespace vhost
