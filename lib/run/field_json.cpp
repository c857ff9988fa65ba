#include "run/field_json.h"

#include <algorithm>
#include <filesystem>
#include <initializer_list>

#include "field_ref.h"
#include "om.h"
#include "run/json_write.h"
#include "run/values.h"
#include "io/volume.h"

namespace velmora {

namespace {

using vhost::Object;

const Json& list_at(const Json& v, const Place& p, const std::string& what) {
    if (!v.is_array()) p.fail(what + " is a list, found " + describe(v));
    return v;
}

std::string text_at(const Json& v, const Place& p, const std::string& what) {
    if (!v.is_string()) p.fail(what + " is a string, found " + describe(v));
    return v.get<std::string>();
}

// Stores list into the array, whose length the field's counts have fixed.
void fill(Object& array, const Json& list, const Place& p, const std::string& what, const std::string& why) {
    list_at(list, p, what);
    // Compared before the array is made: counts that ask for more values
    // than the file gives are never allocated.
    auto n = static_cast<std::uint64_t>(array.wanted_length());
    if (list.size() != n)
        p.fail(what + " holds " + std::to_string(list.size()) + " values; " + std::to_string(n) + " expected (" + why + ")");
    array.fit();
    store_list(array, list, p);
}

std::vector<std::int64_t> node_indices(const Json& list, const Place& p, std::int64_t nnodes) {
    std::vector<std::int64_t> out;
    out.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        Place q = p / i;
        std::int64_t n = integer_of(list[i], q, INT64_MIN, INT64_MAX);
        if (n < 0 || n >= nnodes)
            q.fail("node index " + std::to_string(n) + " is outside the field's " + std::to_string(nnodes) + " nodes");
        out.push_back(n);
    }
    return out;
}

void load_cell_sets(const Json& sets, const Place& p, vhost::FieldRef& fr, std::int64_t nnodes) {
    list_at(sets, p, "cell_sets");
    const std::vector<std::string> types{"Point", "Line", "Polyline", "Tri", "Quad", "Tet", "Pyr", "Prism", "Hex"};
    for (std::size_t i = 0; i < sets.size(); ++i) {
        const Json& s = sets[i];
        Place q = p / i;
        if (!s.is_object()) q.fail("a cell set is an object with \"type\" and \"connect\", found " + describe(s));
        only_keys(s, q, {"type", "connect"}, "a cell set");
        const Json* jt = member(s, "type");
        if (!jt) q.fail("the cell set has no \"type\"");
        std::string type = text_at(*jt, q / "type", "type");
        if (std::find(types.begin(), types.end(), type) == types.end()) {
            (q / "type").fail("unknown cell type " + in_quotes(type) + suggestion(type, types) + "; known types: " + joined(types));
        }
        const Json* jc = member(s, "connect");
        std::vector<std::int64_t> connect;
        if (jc) connect = node_indices(list_at(*jc, q / "connect", "connect"), q / "connect", nnodes);
        int per = vhost::cell_type_nodes(type);
        if (connect.size() % static_cast<std::size_t>(per) != 0)
            (q / "connect")
                .fail("connect holds " + std::to_string(connect.size()) + " node indices, not a multiple of " +
                      std::to_string(per) + (type == "Polyline" ? " (first and last node of each polyline)"
                                                                : " (the nodes of a " + type + " cell)"));
        if (type == "Polyline")
            fr.polylines(connect);
        else
            fr.cells(type, connect);
    }
}

void load_node_data(const Json& comps, const Place& p, vhost::FieldRef& fr, std::int64_t nnodes) {
    list_at(comps, p, "node_data");
    for (std::size_t i = 0; i < comps.size(); ++i) {
        const Json& c = comps[i];
        Place q = p / i;
        if (!c.is_object()) q.fail("a node-data component is an object with \"label\" and \"values\", found " + describe(c));
        only_keys(c, q, {"label", "type", "veclen", "units", "values", "null_value", "null_flag", "id"},
                  "a node-data component");
        auto comp = static_cast<int>(i);
        std::string label = member(c, "label") ? text_at(c["label"], q / "label", "label") : "";
        std::string units = member(c, "units") ? text_at(c["units"], q / "units", "units") : "";
        auto veclen = static_cast<int>(member(c, "veclen") ? integer_of(c["veclen"], q / "veclen", 0, 1024) : 1);
        const Json* jtype = member(c, "type");
        const Json* jvalues = member(c, "values");
        if (jtype || jvalues) {
            int type = DTYPE_FLOAT;
            if (jtype) {
                std::string name = text_at(*jtype, q / "type", "type");
                type = type_code(name);
                if (type < 0)
                    (q / "type").fail("unknown data type " + in_quotes(name) +
                                      suggestion(name, {"float", "int", "double", "long", "short", "byte", "char"}) +
                                      "; modules read \"float\" and \"int\"");
            }
            if (!jvalues) q.fail("the component " + in_quotes(label) + " has a type but no \"values\"");
            fr.declare_component(comp, type, veclen, label);
            fill(fr.component(comp).at("values"), *jvalues, q / "values", "values",
                 std::to_string(nnodes) + " nodes x veclen " + std::to_string(veclen));
        } else {
            // Declared without values: its type stays open, as on an output
            // that no module has written yet.
            Object& n = fr.object().at("nnode_data");
            n.set_int(comp + 1);
            fr.component(comp).at("veclen").set_int(veclen);
            fr.component(comp).at("labels").set_str(label);
        }
        fr.component(comp).at("units").set_str(units);
        if (const Json* jn = member(c, "null_value")) fr.null_value(comp, real_of(*jn, q / "null_value"), 1);
        if (const Json* jf = member(c, "null_flag"))
            fr.component(comp).at("null_flag").set_int(integer_of(*jf, q / "null_flag", 0, 1));
        if (const Json* jid = member(c, "id")) fr.component(comp).at("id").set_int(integer_of(*jid, q / "id", INT32_MIN, INT32_MAX));
    }
}

void load_xform(const Json& x, const Place& p, Object& field) {
    if (!x.is_object()) p.fail("xform is an object with mat, xlate, center, dcenter, ocenter; found " + describe(x));
    only_keys(x, p, {"mat", "xlate", "center", "dcenter", "ocenter"}, "xform");
    for (const auto& [k, v] : x.items())
        fill(field.at("xform").at(k), v, p / k, k, k == "mat" ? "a 4 x 4 matrix, row by row" : "x, y, z");
}

bool any_nonzero(const Json& list) {
    return std::any_of(list.begin(), list.end(), [](const Json& v) { return !v.is_number() || v.get<double>() != 0.0; });
}

// A radar volume read from a file, {"file": "cpol.nc", "var": "DT"}, with
// "time": INDEX for a file of several time steps. A relative path is taken
// from the network file's folder, so that a network and its volume move
// together.
void load_volume_file(const Json& desc, const Place& place, Object& field) {
    only_keys(desc, place, {"file", "var", "time"}, "a field read from a file");
    std::filesystem::path path = raw_bytes(text_at(desc.at("file"), place / "file", "file"));
    std::string var;
    if (const Json* j = member(desc, "var")) var = text_at(*j, place / "var", "var");
    long time = kOnlyTime;
    if (const Json* j = member(desc, "time")) time = static_cast<long>(integer_of(*j, place / "time", 0, INT32_MAX));
    if (path.is_relative() && place.document())
        path = std::filesystem::path(place.document()->name()).parent_path() / path;
    try {
        fill_volume_field(field, read_volume(path.string(), var, {}, time));
    } catch (const std::runtime_error& e) {
        (place / "file").fail(e.what());
    }
}

// "texts": {"NAME": ["text", ...]}: string arrays of the field, one text
// per node where the field's module declares them so.
void load_texts(const Json& j, const Place& place, Object& field) {
    if (!j.is_object()) place.fail("\"texts\" maps names to lists of texts, found " + describe(j));
    for (const auto& [name, list] : j.items()) {
        Place q = place / name;
        if (!list.is_array() || !std::all_of(list.begin(), list.end(), [](const Json& t) { return t.is_string(); }))
            q.fail("a list of texts, found " + describe(list));
        if (Object* taken = field.child(name); taken && taken->kind() != vhost::Kind::StrArray)
            q.fail(in_quotes(name) + " is taken by " + kind_phrase(*taken) + " of the field", true);
        Object* a = field.child(name);
        if (!a) a = &field.add_free_str_array(name);
        if (!a->shaped()) a->resize(static_cast<std::int64_t>(list.size()));
        if (static_cast<std::size_t>(a->wanted_length()) != list.size())
            q.fail(in_quotes(name) + " holds " + std::to_string(a->wanted_length()) + " texts; the list has " +
                   std::to_string(list.size()));
        auto& strings = a->strings();
        for (std::size_t i = 0; i < list.size(); ++i) strings[i] = raw_bytes(list[i].get<std::string>());
    }
}

}  // namespace

void load_field(const Json& desc, const Place& place, Object& field) {
    if (desc.is_object() && desc.contains("file")) return load_volume_file(desc, place, field);
    if (!desc.is_object())
        place.fail("a field is an object with nnodes, nspace, dims, points, coord, cell_sets, node_data, xform; found " +
                   describe(desc));
    only_keys(desc, place,
              {"nnodes", "nspace", "dims", "points", "coord", "uniform", "cell_sets", "node_data", "xform", "texts"},
              "a field");
    vhost::FieldRef fr(field);
    const Json* jdims = member(desc, "dims");
    const Json* jcoord = member(desc, "coord");
    const Json* jpoints = member(desc, "points");

    std::vector<std::int64_t> dims;
    std::int64_t product = 1;
    if (jdims) {
        Place q = place / "dims";
        list_at(*jdims, q, "dims");
        if (jdims->empty() || jdims->size() > 3) q.fail("dims has 1 to 3 entries, found " + std::to_string(jdims->size()));
        for (std::size_t i = 0; i < jdims->size(); ++i) {
            dims.push_back(integer_of((*jdims)[i], q / i, 0, max_nodes));
            product *= dims.back();
            if (product > max_nodes) q.fail("dims make more than " + std::to_string(max_nodes) + " nodes");
        }
    }

    int nspace = 0;
    if (const Json* j = member(desc, "nspace"))
        nspace = static_cast<int>(integer_of(*j, place / "nspace", 0, 3));
    else if (jdims)
        nspace = static_cast<int>(dims.size());
    if (nspace == 0 && (jcoord || jpoints))
        place.fail("give \"nspace\" (1, 2 or 3) with " + std::string(jcoord ? "coord" : "points"));

    std::int64_t nnodes = 0;
    if (const Json* j = member(desc, "nnodes"))
        nnodes = integer_of(*j, place / "nnodes", 0, max_nodes);
    else if (jdims)
        nnodes = product;
    else if (jcoord && jcoord->is_array())
        nnodes = static_cast<std::int64_t>(jcoord->size()) / nspace;

    int uniform = jdims && jpoints && !jcoord;
    if (const Json* j = member(desc, "uniform")) uniform = static_cast<int>(integer_of(*j, place / "uniform", 0, 1));
    // An empty field may carry the flag: an output declared uniform that no
    // module has written yet. A grid with nodes needs its dims and corners.
    bool empty = !jdims && !jpoints && nnodes == 0;
    if (uniform && !empty && (!jdims || !jpoints)) place.fail("a uniform grid needs \"dims\" and \"points\"");
    if (uniform && !empty && nnodes != product)
        (place / "nnodes").fail("the grid's dims make " + std::to_string(product) + " nodes, not " + std::to_string(nnodes), true);

    fr.nnodes(nnodes);
    if (member(desc, "nspace") || jdims) fr.nspace(nspace);
    if (jdims) fr.dims(dims);
    if (jpoints) fill(field.at("points"), *jpoints, place / "points", "points", "two corner points of nspace " + std::to_string(nspace));
    if (jcoord)
        fill(field.at("coord"), *jcoord, place / "coord", "coord",
             std::to_string(nnodes) + " nodes x nspace " + std::to_string(nspace));
    field.at("uniform").set_int(uniform);
    if (const Json* j = member(desc, "cell_sets")) load_cell_sets(*j, place / "cell_sets", fr, nnodes);
    if (const Json* j = member(desc, "node_data")) load_node_data(*j, place / "node_data", fr, nnodes);
    if (const Json* j = member(desc, "xform")) load_xform(*j, place / "xform", field);
    if (const Json* j = member(desc, "texts")) load_texts(*j, place / "texts", field);
}

Json field_json(Object& field) {
    vhost::FieldRef fr(field);
    Object& f = fr.object();
    Json j = Json::object();
    j["nnodes"] = fr.nnodes();
    if (f.at("nspace").has_value()) j["nspace"] = f.at("nspace").int_value();
    if (f.at("ndim").has_value() && f.at("ndim").int_value() > 0) j["dims"] = array_json(f.at("dims"));
    bool uniform = f.at("uniform").int_value() != 0;
    Object& points = f.at("points");
    if (points.buffer() || uniform) {
        Json p = array_json(points);
        if (!p.empty() && (uniform || any_nonzero(p))) j["points"] = std::move(p);
    }
    Object& coord = f.at("coord");
    if (!uniform && coord.buffer() && coord.length() > 0) j["coord"] = array_json(coord);
    bool inferred = j.contains("dims") && j.contains("points") && !j.contains("coord");
    if (inferred != uniform) j["uniform"] = uniform ? 1 : 0;

    Json sets = Json::array();
    Object& cs = f.at("cell_set");
    for (std::int64_t i = 0; i < cs.length(); ++i) {
        Object* s = cs.children()[static_cast<std::size_t>(i)]->deref();
        if (!s) continue;
        std::string type = s->at("cell_type").str_value();
        Json set = Json::object();
        set["type"] = type;
        set["connect"] = array_json(s->at(type == "Polyline" ? "poly_connect_list" : "node_connect_list"));
        sets.push_back(std::move(set));
    }
    if (!sets.empty()) j["cell_sets"] = std::move(sets);

    Json comps = Json::array();
    for (int c = 0; c < static_cast<int>(f.at("node_data").length()); ++c) {
        Object& comp = fr.component(c);
        Json jc = Json::object();
        jc["label"] = comp.at("labels").str_value();
        Object& values = comp.at("values");
        if (values.typed()) jc["type"] = type_name(values.elem_type());
        jc["veclen"] = comp.at("veclen").int_value();
        jc["units"] = comp.at("units").str_value();
        if (values.typed()) jc["values"] = array_json(values);
        bool flag = comp.at("null_flag").int_value() != 0;
        if (comp.at("null_value").has_value()) {
            jc["null_value"] = real_json(comp.at("null_value").real_value());
            if (!flag) jc["null_flag"] = 0;
        } else if (flag) {
            jc["null_flag"] = 1;
        }
        if (comp.at("id").has_value()) jc["id"] = comp.at("id").int_value();
        comps.push_back(std::move(jc));
    }
    if (!comps.empty()) j["node_data"] = std::move(comps);

    Json x = Json::object();
    for (const char* name : {"mat", "xlate", "center", "dcenter", "ocenter"}) {
        std::vector<float> v = vhost::floats_of(f.at("xform").at(name));
        bool plain = true;
        for (std::size_t k = 0; k < v.size(); ++k) {
            float want = (std::string(name) == "mat" && k % 5 == 0) ? 1.0f : 0.0f;
            if (v[k] != want) plain = false;
        }
        if (!plain) x[name] = array_json(f.at("xform").at(name));
    }
    if (!x.empty()) j["xform"] = std::move(x);

    // Texts a module keeps in a field of its own (the labels of legend
    // ticks), one list per string array.
    Json texts = Json::object();
    for (const auto& c : f.children())
        if (c->kind() == vhost::Kind::StrArray) texts[c->name()] = c->strings();
    if (!texts.empty()) j["texts"] = std::move(texts);
    return j;
}

}  // namespace velmora
