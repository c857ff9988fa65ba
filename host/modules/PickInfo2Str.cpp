// PickInfo2Str: the picked positions of `posi` and the node data of `data`
// at them, as one text in `ostr`.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_PickInfo2Str() {
    return {"PickInfo2Str", {"PickInfo2StrUpdate", "PickInfo2StrClear"},
            "picked positions and the node data at them as text", [](Object& m) {
                m.add_int("active", 1, Role::In);
                m.add_field("posi", Role::In);
                m.add_field("data", Role::In);
                m.add_string("ostr", "", Role::Out);
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
