// GetPickInfo: appends the point picked on the first pickable object of
// fr_obj (then bk_obj) that reports one pick to the point field `out`, and
// numbers the picks in `pick_no`.
#include "../declare.h"

namespace vhost {

namespace {

// A list of pickable objects sized by its count. In a network each entry is a
// link to a displayed object; the template lets a network or a test describe
// a pick inline ("fr_obj[0].pick_info.npicked": 1, ...). A pick record has as
// many pick_data entries as picks, each with its float point[3]. One entry
// by default (one front and one back object), so that "fr_obj[0]" can be
// linked before the counts are set.
void add_pick_list(Object& m, const std::string& list, const std::string& count) {
    m.add_int(count, 1, Role::In);
    Object& entry = m.add_group_array(list, shape({term(count)}), Role::In);
    Object& info = entry.add_group("pick_info");
    info.add_int("npicked", 0);
    Object& data = info.add_group_array("pick_data", shape({term("npicked")}));
    data.add_array("point", DTYPE_FLOAT, shape({term(3)}));
}

}  // namespace

ModuleDecl declare_GetPickInfo() {
    return {"GetPickInfo", {"GetPickInfoUpdate", "GetPickInfoClear"},
            "accumulates picked points of the front and back objects, numbered", [](Object& m) {
                m.add_int("active", 1, Role::In);
                add_pick_list(m, "fr_obj", "fr_num");
                add_pick_list(m, "bk_obj", "bk_num");
                // One point cell per picked node: cell sets made by the
                // module are point sets.
                Object& out = m.add_field("out", Role::InOut);
                FieldRef(out).nspace(3).cell_set_template("Point");
                // The pick numbers follow the points: npick is out's node
                // count, and pick_no holds one text per point.
                m.add_link("npick", m.path() + ".out.nnodes", Role::In);
                m.add_str_array("pick_no", shape({term("npick")}), Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
