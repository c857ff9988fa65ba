// WriteXform: saves a viewer's transform as a view script record, appended to
// one file or written to a new numbered file per save.
#include "../declare.h"

namespace vhost {

ModuleDecl declare_WriteXform() {
    return {"WriteXform", {"WriteXformUpdate"}, "saves the view transform as a view script file", [](Object& m) {
                m.add_int("active", 1, Role::In);
                m.add_int("save", 0, Role::In);
                m.add_string("appname", {}, Role::In);
                m.add_string("viewname", {}, Role::In);
                m.add_int("mode", 0, Role::In);
                m.add_string("filename", {}, Role::In);
                m.add_string("dirname", {}, Role::In);
                m.add_string("prefix", {}, Role::In);
                m.add_int("cnt", 0, Role::InOut);
                // The viewer's transform; in a network a link to one, e.g.
                // a field's xform. Identity until linked.
                Object& x = m.add_group("xform", Role::In);
                Object& mat = x.add_array("mat", DTYPE_FLOAT, shape({term(16)}));
                mat.fit();
                for (int i = 0; i < 4; ++i) mat.as<float>()[i * 5] = 1.0f;
                for (const char* n : {"xlate", "center", "dcenter", "ocenter"})
                    x.add_array(n, DTYPE_FLOAT, shape({term(3)})).fit();
                m.add_int("done", 0, Role::Out);
            }};
}

}  // namespace vhost
