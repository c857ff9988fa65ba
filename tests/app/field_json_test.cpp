// Fields described in JSON: what a description builds, what a field gives
// back, exact round trips, and descriptions that do not fit.
#include "field_json.h"

#include "module_test.h"

namespace {

using velmora::app::Document;
using velmora::app::Json;
using velmora::app::NetworkError;
using velmora::app::Place;

class FieldJsonTest : public vtest::ModuleTest {
protected:
    vhost::Object& load(const std::string& name, const std::string& text) {
        doc_ = std::make_unique<Document>(Document::parse("f.json", text));
        vhost::Object& f = host.add_field(name);
        velmora::app::load_field(doc_->root(), Place(*doc_), f);
        return f;
    }
    std::string error_of(const std::string& text) {
        try {
            load("bad", text);
        } catch (const NetworkError& e) {
            return e.what();
        }
        return "";
    }
    // Builds a second field from the first one's description.
    vhost::Object& reload(vhost::Object& f, const std::string& name) {
        Json j = velmora::app::field_json(f);
        vhost::Object& g = host.add_field(name);
        velmora::app::load_field(j, Place("dump"), g);
        return g;
    }
    std::unique_ptr<Document> doc_;
};

TEST_F(FieldJsonTest, UniformGridFromDimsAndPoints) {
    vhost::Object& f = load("grid", R"({"dims": [3, 2, 2], "points": [0, 0, 0, 2000, 1000, 1000],
        "node_data": [{"label": "ze", "units": "dBZ", "values": [1,2,3,4,5,6,7,8,9,10,11,12], "null_value": -9999}]})");
    auto fr = field(f);
    EXPECT_EQ(fr.nnodes(), 12);
    EXPECT_EQ(fr.nspace(), 3);
    EXPECT_EQ(fr.dims(), (std::vector<std::int64_t>{3, 2, 2}));
    EXPECT_EQ(f.at("uniform").int_value(), 1);
    vtest::expect_component(fr, 0, DTYPE_FLOAT, 1, "ze", "dBZ", -9999.0);
    EXPECT_EQ(fr.float_values(0)[11], 12.0f);
    // Written back: the same description, coordinates not spelled out.
    Json j = velmora::app::field_json(f);
    EXPECT_EQ(j["nnodes"], 12);
    EXPECT_FALSE(j.contains("coord"));
    EXPECT_FALSE(j.contains("uniform"));
    EXPECT_EQ(j["points"], Json::parse("[0, 0, 0, 2000, 1000, 1000]"));
    EXPECT_EQ(j["node_data"][0]["null_value"], -9999.0);
    EXPECT_FALSE(j["node_data"][0].contains("null_flag"));
}

TEST_F(FieldJsonTest, EveryKindOfContentRoundTripsExactly) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    vhost::Object& f = host.add_field("mesh");
    field(f)
        .nnodes(4)
        .nspace(3)
        .coord({0.1f, 0.2f, 0.3f, 1.0f / 3.0f, 1e-45f, -0.0f, 3.4028235e38f, -1.17549435e-38f, 16777217.0f, 7, 8, 9})
        .cells("Tri", {0, 1, 2, 1, 3, 2})
        .cells("Point", {0, 1, 2, 3})
        .polylines({0, 3})
        .floats("w", {0.1f, nan, inf, -inf, 2.5f, 1e-7f, 123456.789f, -0.0f}, 2, "m/s")
        .ints("area_no", {1, -2147483647 - 1, 2147483647, 0})
        .null_value(1, 0.0, 0)
        .xform_array("mat", {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0.5f, 0, 0, 0, 0, 1})
        .xform_array("xlate", {1.5f, 0, -3});
    field(f).component(0).at("id").set_int(672);
    field(f).component(1).at("null_flag").set_int(0);
    // A module's texts kept in the field, one per node (legend labels).
    f.add_str_array("text_values", vhost::shape({vhost::term("nnodes")})).strings() = {"0 km", "", "\"5\" km", "é"};
    vhost::Object& g = reload(f, "again");
    EXPECT_EQ(g.at("text_values").strings(), f.at("text_values").strings());
    auto a = field(f), b = field(g);
    EXPECT_EQ(b.object().at("uniform").int_value(), 0);
    EXPECT_EQ(vtest::bits(b.coord()), vtest::bits(a.coord()));   // -0 and the subnormal too
    ASSERT_EQ(b.ncell_sets(), 3);
    for (int c = 0; c < 2; ++c) EXPECT_EQ(std::pair(b.cell_type(c), b.connect(c)), std::pair(a.cell_type(c), a.connect(c)));
    EXPECT_EQ(b.cell_type(2), "Polyline");
    EXPECT_EQ(b.poly_connect(2), (std::vector<std::int64_t>{0, 3}));
    EXPECT_EQ(vtest::bits(b.float_values(0)), vtest::bits(a.float_values(0)));
    vtest::expect_component(b, 0, DTYPE_FLOAT, 2, "w", "m/s");
    EXPECT_EQ(b.component(0).at("id").int_value(), 672);
    // A null value without its flag stays unflagged.
    vtest::expect_component(b, 1, DTYPE_INT, 1, "area_no");
    EXPECT_EQ(b.null_value(1), 0.0);
    EXPECT_EQ(b.int_values(1), a.int_values(1));
    EXPECT_EQ(b.xform("mat"), a.xform("mat"));
    EXPECT_EQ(b.xform("xlate"), a.xform("xlate"));
    // The texts are short: 0.1f is written as 0.1, not 0.10000000149011612.
    Json j = velmora::app::field_json(f);
    EXPECT_EQ(j["node_data"][0]["values"].dump(), R"([0.1,"nan","inf","-inf",2.5,1e-07,123456.79,-0.0])");
    EXPECT_EQ(velmora::app::field_json(g), j);
}

TEST_F(FieldJsonTest, ComponentsWithoutValuesAndEmptyFieldsRoundTrip) {
    vhost::Object& f = host.add_field("out");
    field(f).nnodes(2);
    f.at("nnode_data").set_int(1);   // declared, its type left open
    field(f).component(0).at("veclen").set_int(1);
    vhost::Object& g = reload(f, "again");
    EXPECT_EQ(field(g).ncomp(), 1);
    EXPECT_EQ(field(g).type(0), -1);
    EXPECT_EQ(velmora::app::field_json(g), velmora::app::field_json(f));
    // An output declared uniform that nothing has written yet.
    vhost::Object& u = host.add_field("unwritten");
    u.at("uniform").set_int(1);
    EXPECT_EQ(velmora::app::field_json(u), Json::parse(R"({"nnodes": 0, "uniform": 1})"));
    EXPECT_EQ(velmora::app::field_json(reload(u, "unwritten2")), velmora::app::field_json(u));
    EXPECT_EQ(error_of(R"({"nnodes": 2, "uniform": 1})"), "f.json:1:1: error: a uniform grid needs \"dims\" and \"points\"");
    vhost::Object& e = host.add_field("empty");
    EXPECT_EQ(velmora::app::field_json(e), Json::parse(R"({"nnodes": 0})"));
    EXPECT_EQ(velmora::app::field_json(reload(e, "empty2")), Json::parse(R"({"nnodes": 0})"));
}

TEST_F(FieldJsonTest, DescriptionsThatDoNotFitAreRejectedAtTheirPlace) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {R"({"nnodes": 3, "node_data": [{"label": "ze", "values": [1, 2]}]})",
         "f.json:1:55: error: values holds 2 values; 3 expected (3 nodes x veclen 1)"},
        {R"({"nnodes": 2, "node_data": [{"type": "int", "values": [1, 2.5]}]})",
         "f.json:1:59: error: expected a whole number, not the number 2.5"},
        {R"({"nnodes": 1, "node_data": [{"values": [1e39]}]})",
         "f.json:1:41: error: 1e+39 does not fit a single-precision float"},
        {R"({"nnodes": 1, "node_data": [{"values": [null]}]})",
         "f.json:1:41: error: expected a number (or \"nan\", \"inf\", \"-inf\"), not null"},
        {R"({"nnodes": 1, "node_data": [{"type": "flaot", "values": [1]}]})",
         "f.json:1:38: error: unknown data type \"flaot\" (did you mean \"float\"?); modules read \"float\" and \"int\""},
        {R"({"nnodes": 1, "node_data": [{"type": "int"}]})", "f.json:1:29: error: the component \"\" has a type but no \"values\""},
        {R"({"nnodes": 3, "nspace": 3, "cell_sets": [{"type": "Tri", "connect": [0, 1, 3]}]})",
         "f.json:1:76: error: node index 3 is outside the field's 3 nodes"},
        {R"({"nnodes": 4, "cell_sets": [{"type": "Tri", "connect": [0, 1, 2, 3]}]})",
         "f.json:1:56: error: connect holds 4 node indices, not a multiple of 3 (the nodes of a Tri cell)"},
        {R"({"nnodes": 4, "cell_sets": [{"type": "Triangle", "connect": []}]})",
         "f.json:1:38: error: unknown cell type \"Triangle\"; known types: Point, Line, Polyline, Tri, Quad, Tet, Pyr, Prism, Hex"},
        {R"({"nnodes": 2, "coord": [0, 0, 1, 1]})", "f.json:1:1: error: give \"nspace\" (1, 2 or 3) with coord"},
        {R"({"nnodes": 2, "nspace": 2, "coord": [0, 0, 1]})",
         "f.json:1:37: error: coord holds 3 values; 4 expected (2 nodes x nspace 2)"},
        {R"({"nnodes": 5, "dims": [2, 2], "points": [0, 0, 1, 1]})",
         "f.json:1:2: error: the grid's dims make 4 nodes, not 5"},
        {R"({"dims": [2, 2], "node_dat": []})",
         "f.json:1:18: error: unknown key \"node_dat\" in a field (did you mean \"node_data\"?); known keys: nnodes, nspace, "
         "dims, points, coord, uniform, cell_sets, node_data, xform, texts"},
        {R"({"dims": [100000, 100000]})", "f.json:1:10: error: dims make more than 100000000 nodes"},
        {R"({"nnodes": -1})", "f.json:1:12: error: -1 is out of range (0 to 100000000)"},
        {R"({"nnodes": 1, "xform": {"mat": [1, 0, 0, 1]}})",
         "f.json:1:32: error: mat holds 4 values; 16 expected (a 4 x 4 matrix, row by row)"},
        {R"([1, 2])", "f.json:1:1: error: a field is an object with nnodes, nspace, dims, points, coord, cell_sets, "
                      "node_data, xform; found a list of 2 values"},
    };
    for (const auto& c : cases) {
        host.reset();
        EXPECT_EQ(error_of(c.text), c.message) << c.text;
    }
}

}  // namespace
