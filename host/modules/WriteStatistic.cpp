// WriteStatistic: the statistic parameter group as a comma-separated file.
#include "../declare.h"

namespace vhost {

void declare_statistic_group(Object& m, Role role);   // with CalcStatistic's declaration

ModuleDecl declare_WriteStatistic() {
    return {"WriteStatistic", {"WriteStatisticUpdate"}, "area statistics written as comma-separated text",
            [](Object& m) {
                m.add_string("filename", {}, Role::In);
                declare_statistic_group(m, Role::In);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
