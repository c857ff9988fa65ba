// CalcStatistic: per-area statistics of the node data of `in`, grouped by the
// area numbers of `area`, published as the statistic parameter group
// (`nsurf`, `sparam[i]`) plus one labelled point per non-empty area.
#include "../declare.h"

namespace vhost {

// The statistic parameter group on an instance: `nsurf` entries `sparam[i]`,
// each sized by its own `ncomp`. CalcStatistic writes it; DispCenter and
// WriteStatistic declare the same group and have it linked to the writer's.
void declare_statistic_group(Object& m, Role role) {
    m.add_int("nsurf", 0, role);
    Object& e = m.add_group_array("sparam", shape({term("nsurf")}), role);
    e.add_int("no", 0);
    e.add_int("npoints", 0);
    e.add_int("ncomp", 0);
    for (const char* name : {"data_min", "data_max", "data_ave", "sv"}) e.add_array(name, DTYPE_FLOAT, shape({term("ncomp")}));
    e.add_str_array("label", shape({term("ncomp")}));
    Object& aav = e.add_group("aav");
    Object& wav = e.add_group_array("wav", shape({term("ncomp")}));
    for (Object* centre : {&aav, &wav})
        for (const char* axis : {"x", "y", "z"}) centre->add_real(axis, 0.0);
    e.add_real("maxz", 0.0);
}

ModuleDecl declare_CalcStatistic() {
    return {"CalcStatistic", {"CalcStatisticUpdate"},
            "count, min, max, mean, deviation and centres of every numbered area", [](Object& m) {
                m.add_field("area", Role::In);
                m.add_field("in", Role::In);
                m.add_int("nspace3", 1, Role::In);
                m.add_int("no_min", {}, Role::In);
                m.add_int("no_max", {}, Role::In);
                declare_statistic_group(m, Role::Out);
                // One point per non-empty area, in a point cell set the
                // declaration fixes; the area numbers go to no_label.
                Object& olabel = m.add_field("olabel", Role::Out);
                FieldRef(olabel).cell_set_template("Point");
                m.add_str_array("no_label", shape({term("olabel.nnodes")}), Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
