// DispCenter: the centres of the statistic parameter group as a point field.
#include "../declare.h"

namespace vhost {

void declare_statistic_group(Object& m, Role role);   // with CalcStatistic's declaration

ModuleDecl declare_DispCenter() {
    return {"DispCenter", {"DispCenterUpdate"}, "area centres (arithmetic or weighted) as points", [](Object& m) {
                m.add_int("nspace3", 1, Role::In);
                m.add_int("mode", 0, Role::In);    // 0: arithmetic centres, else weighted by component `index`
                m.add_int("index", 0, Role::In);
                declare_statistic_group(m, Role::In);
                m.add_field("out", Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
