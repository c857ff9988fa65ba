// Network files and the places their messages point at; networks built on the host, every mistake rejected
// before anything runs; fields described in JSON.
#include "run/network.h"

#include <sys/stat.h>

#include "app_test.h"
#include "run/field_json.h"
#include "module_test.h"

namespace {

using velmora::Document;
using velmora::Json;
using velmora::NetworkError;
using velmora::Place;
using velmora::Plan;

class NetworkTest : public vtest::ModuleTest {
protected:
    Plan build(const std::string& text, const std::vector<std::string>& overrides = {}) {
        doc_ = std::make_unique<Document>(Document::parse("net.json", text));
        return velmora::build_network(*doc_, overrides);
    }
    std::string error_of(const std::string& text, const std::vector<std::string>& overrides = {}) {
        host.reset();
        const std::string e = vtest::error_of<NetworkError>([&] { build(text, overrides); });
        EXPECT_EQ(host.arrays_handed_out(), 0) << "nothing runs";
        EXPECT_TRUE(host.reports().empty());
        if (!e.empty()) {
            EXPECT_TRUE(host.root().children().empty()) << "a rejected network leaves nothing in the tree";
        }
        return e;
    }
    std::unique_ptr<Document> doc_;
};

const char* const grid = R"("grid": {"nnodes": 3, "node_data": [{"label": "ze", "values": [1, 2, 3]}]})";

std::string net(const std::string& instances, const std::string& fields = grid) {
    return "{\n\"fields\": {" + fields + "},\n\"instances\": {\n" + instances + "\n}}";
}
// A network of one ThreshMin instance "t" with these members.
std::string th(const std::string& members) { return net(R"("t": {"module": "ThreshMin", )" + members + "}"); }

TEST_F(NetworkTest, InstancesRunAfterTheInstancesTheyReadFromOtherwiseInFileOrder) {
    Plan plan = build(net(R"(
"late": {"module": "ThreshMin", "links": {"in": "early.out_nd", "null_value": "early.done"},
         "params": {"thresh_value": 1.5}},
"other": {"module": "ThreshMin", "links": {"in": "grid"}, "calls": ["ThreshMinUpdate", "ThreshMinUpdate"]},
"early": {"module": "ThreshMin", "links": {"in": "grid"}, "params": {"thresh_value": 2, "null_value": -1}},
"idle": {"module": "ThreshMin", "calls": []})"));
    std::vector<std::string> names;
    for (const auto& i : plan.instances) names.push_back(i.name);
    EXPECT_EQ(names, (std::vector<std::string>{"other", "early", "late", "idle"}));
    EXPECT_EQ(plan.instances[0].calls, (std::vector<std::string>{"ThreshMinUpdate", "ThreshMinUpdate"}));
    EXPECT_EQ(plan.instances[1].calls, (std::vector<std::string>{"ThreshMinUpdate"}));
    EXPECT_TRUE(plan.instances[3].calls.empty());
    vhost::Object& late = *plan.instances[2].object;
    EXPECT_EQ(late.child("in")->target(), "early.out_nd");
    EXPECT_EQ(late.at("thresh_value").real_value(), 1.5);
    vhost::Object& early = *plan.instances[1].object;
    EXPECT_EQ(early.at("thresh_value").real_value(), 2.0);   // an integer for a real
    EXPECT_EQ(late.child("null_value")->target(), "early.done");
    // An override of null leaves a value unset (overrides replacing values are the command line's test).
    host.reset();
    plan = build(th(R"("params": {"thresh_value": 1, "null_value": 0}, "links": {"in": "grid"})"), {"t.null_value=null"});
    EXPECT_FALSE(plan.instances[0].object->at("null_value").has_value());
}

// Every mistake of a network file or of an override (a message ending in "..." is its beginning).
TEST_F(NetworkTest, MistakesAreRejectedWithTheirPlaceAndName) {
    const std::string t = th(R"("params": {"thresh_value": 1, "null_value": 0}, "links": {"in": "grid"})");
    const std::string has = "; it has: thresh_value, null_value, in, out_nd, done";
    const struct {
        std::string text, message;
        std::vector<std::string> overrides = {};
    } cases[] = {
        {net(R"("t": {"module": "ThreshMn"})"),
         "net.json:4:17: error: unknown module \"ThreshMn\" (did you mean \"ThreshMin\"?); known modules: ..."},
        {net(R"("t": {"modul": "ThreshMin"})"),
         "net.json:4:7: error: unknown key \"modul\" in an instance (did you mean \"module\"?); known keys: module, "
         "description, params, links, calls"},
        {net(R"("t": {"params": {}})"), "net.json:4:1: error: the instance \"t\" names no \"module\""},
        {th(R"("params": {"thresh": 1})"), "net.json:4:41: error: ThreshMin has no \"thresh\"" + has},
        {th(R"("params": {"thresh_value": "high"})"),
         "net.json:4:57: error: \"thresh_value\" is a real and takes a number (or \"nan\", \"inf\", \"-inf\"), not the "
         "string \"high\""},
        {th(R"("params": {"done": 3000000000})"),
         "net.json:4:49: error: \"done\": 3000000000 is out of range (-2147483648 to 2147483647)"},
        {th(R"("params": {"in": {}})"),
         "net.json:4:47: error: \"in\" is a field: link it under \"links\" to a field declared under \"fields\""},
        {th(R"("params": {"a..b": 1})"),
         "net.json:4:41: error: \"a..b\" is not a valid parameter path: names joined by \".\", elements as name[i]"},
        {th(R"("links": {"in": "gird"})"),
         "net.json:4:46: error: link target \"gird\": the network has no \"gird\" (did you mean \"grid\"?); it has: "
         "grid, t"},
        {th(R"("links": {"in": "grid.node_data[4]"})"),
         "net.json:4:46: error: \"in\" is a field and cannot be linked to \"grid.node_data[4]\", a group"},
        {th(R"("links": {"inn": "grid"})"),
         "net.json:4:40: error: ThreshMin has no \"inn\" (did you mean \"in\"?)" + has},
        {th(R"("params": {"done": 0}, "links": {"in": "grid", "done": "grid.nnodes"})"),
         "net.json:4:77: error: \"done\" is both linked and given under \"params\" as \"done\""},
        {th(R"("calls": ["ThreshMinUpdat"])"),
         "net.json:4:40: error: ThreshMin has no entry point \"ThreshMinUpdat\" (did you mean \"ThreshMinUpdate\"?); it "
         "has: ThreshMinUpdate"},
        {net(R"("grid": {"module": "ThreshMin"})"),
         "net.json:4:1: error: the instance name \"grid\" is taken by a field of that name"},
        {"{\"fields\": {}, \"instance\": {}}",
         "net.json:1:16: error: unknown key \"instance\" in a network file (did you mean \"instances\"?); known keys: "
         "description, include, fields, instances, run"},
        {net(R"(
"a": {"module": "ThreshMin", "links": {"in": "grid", "thresh_value": "c.done"}},
"b": {"module": "ThreshMin", "links": {"in": "a.out_nd"}},
"c": {"module": "ThreshMin", "links": {"in": "b.out_nd"}},
"d": {"module": "ThreshMin", "links": {"in": "grid"}})"),
         "net.json:5:70: error: the links make a cycle: \"a\" -> \"c\" -> \"b\" -> \"a\" (each instance would have "
         "to run after the one it reads from)"},
        // An instance that reads its own output waits for nobody.
        {net(R"("a": {"module": "ThreshMin", "links": {"in": "a.out_nd"}})"), ""},
        {net(R"("prev": {"module": "ThreshMin"})", R"("prev.out_nd": {})"),
         "net.json:4:1: error: the instance name \"prev\" is taken by a group of that name"},
        {net("", R"("a": {}, "a.b": {})"), "net.json:2:21: error: the name \"a.b\" passes through \"a\" by a field \"a\""},
        {net("", R"("a[0]": {}, "a[00]": {})"), "net.json:2:24: error: the field \"a[00]\" is given twice"},
        {net("", R"("a[0]": {}, "a[1].b": {})"),
         "net.json:2:24: error: \"a\" holds fields in one name and groups in another"},
        {net("", R"("a[10000]": {})"), "net.json:2:12: error: the index in \"a[10000]\" is above 9999"},
        {t, "--set t.thresh_value: error: expected INSTANCE.PARAM=VALUE", {"t.thresh_value"}},
        {t, "--set x.thresh_value=1: error: there is no instance \"x\"", {"x.thresh_value=1"}},
        {t, "--set t=1: error: name a parameter of \"t\": INSTANCE.PARAM=VALUE", {"t=1"}},
        {t, "--set t.thresh_valeu=1: error: ThreshMin has no \"thresh_valeu\" (did you mean \"thresh_value\"?)" + has,
         {"t.thresh_valeu=1"}},
        {t, "--set t.in=grid: error: \"t.in\" is linked to \"grid\" and takes its value from there", {"t.in=grid"}},
        // npick is declared as a link to the point count of the module's output.
        {net(R"("p": {"module": "GetPickInfo", "params": {"npick": 3}})"),
         "net.json:4:52: error: \"npick\" is linked to \"p.out.nnodes\" and takes its value from there"},
        {net(R"("p": {"module": "GetPickInfo", "params": {"fr_num": 1000000000, "fr_obj[3].pick_info.npicked": 1}})"),
         "net.json:4:65: error: \"fr_obj\" would have 1000000000 elements (its length follows fr_num); at most 100000"},
        {net(R"("c": {"module": "DispCenter", "params": {"nsurf": 1, "sparam[0].ncomp": 2000000000}})"),
         "net.json:4:41: error: \"c.sparam[0].data_min\" would have 2000000000 elements (its length follows ncomp); "
         "at most 300000000"},
        {net(R"("p": {"module": "GetPickInfo"})"),
         "--set p.fr_num=200000: error: \"p.fr_obj\" would have 200000 elements (its length follows fr_num); at most "
         "100000", {"p.fr_num=200000"}},
        {net("", R"("g": {"nnodes": 100000000, "node_data": [{"veclen": 1000, "values": [1]}]})"),
         "net.json:2:80: error: values holds 1 values; 100000000000 expected (100000000 nodes x veclen 1000)"},
    };
    for (const auto& c : cases) {
        const std::string got = error_of(c.text, c.overrides);
        if (c.message.ends_with("..."))
            EXPECT_EQ(got.substr(0, c.message.size() - 3), c.message.substr(0, c.message.size() - 3)) << c.text;
        else
            EXPECT_EQ(got, c.message) << c.text;
    }
    // Near misses are suggested for real typos only (case, two letters swapped).
    auto param = [&](const std::string& key) { return error_of(th(R"("params": {")" + key + R"(": 1})")); };
    EXPECT_NE(param("Done").find("(did you mean \"done\"?)"), std::string::npos);
    for (const char* far : {"x", "threshold"}) EXPECT_EQ(param(far).find("did you mean"), std::string::npos) << far;
}

TEST_F(NetworkTest, ValuesOfEveryKindAreSetFromJson) {
    vhost::Object& g = host.root().add_group("g");
    g.add_int("n", 2);
    g.add_array("v", DTYPE_FLOAT, vhost::shape({vhost::term("n")}));
    g.add_free_array("free", DTYPE_LONG);
    g.add_str_array("labels", vhost::shape({vhost::term("n")}));
    g.add_free_str_array("texts");
    g.add_string("format");
    vhost::Object& sub = g.add_group("sub");
    sub.add_real("x", 1.0);
    g.add_int("count", 0);
    vhost::Object& e = g.add_group_array("entry", vhost::shape({vhost::term("count")}));
    e.add_int("no");
    e.add_array("w", DTYPE_INT, vhost::shape({vhost::term(2)}));
    auto set = [&](const std::string& text) {
        return vtest::error_of<NetworkError>([&] {
            Document d = Document::parse("v.json", text);
            velmora::set_value(g, d.root(), Place(d), "g");
        });
    };
    ASSERT_EQ(set(R"({"n": 3, "v": [0.5, "nan", -2], "free": [9007199254740993],
        "labels": ["a", "b", "c"], "texts": ["x"], "format": "%.1f", "sub": {"x": "-inf"}, "sub.x": 4,
        "count": 2, "entry": [{"no": 1}, {"no": 2, "w": [3, 4]}], "entry[0].w": [5, 6]})"), "");
    EXPECT_EQ(vhost::floats_of(g.at("v")).size(), 3u);   // the length follows n, given first
    EXPECT_EQ(vhost::longs_of(g.at("free")), (std::vector<std::int64_t>{9007199254740993}));   // a free array takes any length
    EXPECT_EQ(g.at("sub.x").real_value(), 4.0);   // the later key wins
    EXPECT_EQ(g.at("entry[1].no").int_value(), 2);
    EXPECT_EQ(vhost::ints_of(g.at("entry[1].w")), (std::vector<std::int32_t>{3, 4}));
    EXPECT_EQ(vhost::ints_of(g.at("entry[0].w")), (std::vector<std::int32_t>{5, 6}));
    const std::pair<const char*, const char*> refused[] = {
        {R"({"v": [1, 2]})", "v.json:1:7: error: \"g.v\" holds 3 values (its length follows n); the list has 2"},
        {R"({"entry": [{}]})",
         "v.json:1:11: error: \"g.entry\" has 2 elements (its length follows count); the list has 1"},
        {R"({"entry[2].no": 1})",
         "v.json:1:2: error: \"entry[2]\" does not exist: \"entry\" has 2 elements (its length follows count)"},
        {R"({"labels": ["a", 1, "c"]})",
         "v.json:1:12: error: \"g.labels\" is a string array and takes a list of texts, not a list of 3 values"},
        {R"({"sub": {"y": 1}})", "v.json:1:10: error: \"g.sub\" has no \"y\"; it has: x"},
        {R"({"format": 5})", "v.json:1:12: error: \"g.format\" is a string and takes a text, not the number 5"},
        {R"({"entry[0].w": [0, 3000000000]})", "v.json:1:20: error: 3000000000 is out of range (-2147483648 to 2147483647)"},
    };
    for (const auto& [text, message] : refused) EXPECT_EQ(set(text), message);
}

TEST_F(NetworkTest, FieldsNamedByPathsAndIncludedFiles) {
    Plan plan = build(net(R"("t": {"module": "ThreshMin", "links": {"in": "slice.oplanes[1]"}})",
                          R"("prev.out_nd": {"nnodes": 1, "node_data": [{"values": [5]}]},
                             "slice.oplanes[1]": {"nnodes": 2, "node_data": [{"values": [1, 2]}]},
                             "slice.oplanes[0]": {"nnodes": 1})"));
    EXPECT_EQ(host.root().at("prev").kind(), vhost::Kind::Group);
    EXPECT_EQ(field(host.root().at("prev.out_nd")).float_values(0), (std::vector<float>{5}));
    EXPECT_EQ(host.root().at("slice.oplanes").length(), 2);
    EXPECT_EQ(field(host.root().at("slice.oplanes[0]")).nnodes(), 1);
    EXPECT_EQ(field(*plan.instances[0].object, "in").nnodes(), 2);
    // An included file gives its fields, not its instances.
    host.reset();
    vtest::TempDir dir;
    dir.write("prev.json", R"({"fields": {"old": {"nnodes": 2, "node_data": [{"values": [7, 8]}]}},
                               "instances": {"ignored": {"module": "Nothing"}}})");
    Document doc = Document::read(dir.write("net.json", R"({"include": ["prev.json"],
        "instances": {"t": {"module": "ThreshMin", "links": {"in": "old"}}}})"));
    plan = velmora::build_network(doc);
    EXPECT_EQ(field(*plan.instances[0].object, "in").float_values(0), (std::vector<float>{7, 8}));
    host.reset();
    const std::string missing = dir.write("bad.json", R"({"include": ["nope.json"]})");
    EXPECT_EQ(vtest::error_of<NetworkError>([&] { velmora::build_network(Document::read(missing)); }),
              missing + ":1:14: error: cannot include \"" + dir.file("nope.json") + "\": no such file");
}

TEST(Document, MalformedTextAndRepeatedKeysAreReportedAtTheirPlace) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\n  \"fields\": {},\n  \"instances\": }\n", "net.json:3:16: error: not valid JSON: syntax error while parsing value"},
        {"{\"é\": [1, 2,]}", "net.json:1:13: error: not valid JSON:"},   // characters, not bytes
        {R"({
  "instances": {
    "thresh": {"module": "ThreshMin"},
    "thresh": {"module": "ThreshMin", "params": {"a": [1, {"b": 2, "b": 3}]}}
  }
})",
         "net.json:4:5: error: the key \"thresh\" appears twice in \"instances\""},
        {R"({"l": [[], {}, {"k": 1, "k\u0031": 2, "k1": 3}]})", "net.json:1:39: error: the key \"k1\" appears twice in \"l.2\""},
        // The same key in different objects, or in a list of objects, is fine.
        {R"({"a": {"x": 1}, "b": {"x": 2}, "c": [{"x": 1}, {"x": 2}], "d": "\"x\""})", ""},
    };
    for (const auto& [text, message] : cases) {
        const std::string got = vtest::error_of<NetworkError>([&] { Document::parse("net.json", text); });
        EXPECT_EQ(message.empty() ? got : got.substr(0, message.size()), message) << text;
    }
}

TEST(Document, AFileThatCannotBeReadIsNamed) {
    vtest::TempDir dir;
    EXPECT_EQ(Document::read(dir.write("ok.json", "[1, 2]")).root().size(), 2u);
    // The file past the size limit is sparse: it is refused before anything is read.
    ASSERT_EQ(::mkfifo(dir.file("pipe.json").c_str(), 0600), 0);
    std::filesystem::resize_file(dir.write("huge.json", "{"), velmora::kMaxDocumentBytes + 1);
    const std::pair<std::string, std::string> refused[] = {
        {dir.file("missing.json"), ": error: cannot read the file: No such file or directory"},
        {dir.file("pipe.json"), ": error: not a regular file"},
        {dir.file("huge.json"), ": error: the file has 536870913 bytes; a network file has at most 536870912"}};
    for (const auto& [path, says] : refused)
        EXPECT_EQ(vtest::error_of<NetworkError>([&] { Document::read(path); }), path + says);
}

class FieldJsonTest : public NetworkTest {
protected:
    vhost::Object& load(const std::string& name, const std::string& text) {
        doc_ = std::make_unique<Document>(Document::parse("f.json", text));
        vhost::Object& f = host.add_field(name);
        velmora::load_field(doc_->root(), Place(*doc_), f);
        return f;
    }
    vhost::Object& reload(vhost::Object& f, const std::string& name) {
        vhost::Object& g = host.add_field(name);
        velmora::load_field(velmora::field_json(f), Place("dump"), g);
        return g;
    }
};

TEST_F(FieldJsonTest, UniformGridsAndFieldsWithoutValues) {
    vhost::Object& f = load("grid", R"({"dims": [3, 2, 2], "points": [0, 0, 0, 2000, 1000, 1000],
        "node_data": [{"label": "ze", "units": "dBZ", "values": [1,2,3,4,5,6,7,8,9,10,11,12], "null_value": -9999}]})");
    EXPECT_EQ(f.at("uniform").int_value(), 1);
    vtest::expect_component(field(f), 0, DTYPE_FLOAT, 1, "ze", "dBZ", -9999.0);
    // Written back with its counts and types, without coordinates, the uniform flag or a null flag.
    EXPECT_EQ(velmora::field_json(f), Json::parse(R"({"nnodes": 12, "nspace": 3, "dims": [3, 2, 2],
        "points": [0, 0, 0, 2000, 1000, 1000], "node_data": [{"label": "ze", "type": "float", "veclen": 1, "units": "dBZ",
        "values": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12], "null_value": -9999}]})"));
    // Components without values, and fields nothing has written, round trip.
    vhost::Object& o = host.add_field("out");
    field(o).nnodes(2);
    o.at("nnode_data").set_int(1);   // declared, its type left open
    field(o).component(0).at("veclen").set_int(1);
    vhost::Object& g = reload(o, "again");
    EXPECT_EQ(field(g).ncomp(), 1);
    EXPECT_EQ(field(g).type(0), -1);
    EXPECT_EQ(velmora::field_json(g), velmora::field_json(o));
    vhost::Object& u = host.add_field("unwritten");
    u.at("uniform").set_int(1);
    EXPECT_EQ(velmora::field_json(u), Json::parse(R"({"nnodes": 0, "uniform": 1})"));
    EXPECT_EQ(velmora::field_json(reload(u, "unwritten2")), velmora::field_json(u));
}

TEST_F(FieldJsonTest, EveryKindOfContentRoundTripsExactly) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    vhost::Object& f = host.add_field("mesh");
    field(f).nnodes(4).nspace(3)
        .coord({0.1f, 0.2f, 0.3f, 1.0f / 3.0f, 1e-45f, -0.0f, 3.4028235e38f, -1.17549435e-38f, 16777217.0f, 7, 8, 9})
        .cells("Tri", {0, 1, 2, 1, 3, 2}).cells("Point", {0, 1, 2, 3}).polylines({0, 3})
        .floats("w", {0.1f, nan, inf, -inf, 2.5f, 1e-7f, 123456.789f, -0.0f}, 2, "m/s")
        .ints("area_no", {1, -2147483647 - 1, 2147483647, 0}).null_value(1, 0.0, 0)
        .xform_array("mat", {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0.5f, 0, 0, 0, 0, 1}).xform_array("xlate", {1.5f, 0, -3});
    field(f).component(0).at("id").set_int(672);
    field(f).component(1).at("null_flag").set_int(0);
    // A module's texts kept in the field, one per node (legend labels).
    f.add_str_array("text_values", vhost::shape({vhost::term("nnodes")})).strings() = {"0 km", "", "\"5\" km", "é"};
    vhost::Object& g = reload(f, "again");
    // The description holds every part (cells, ids, null flags, transform, texts); -0 is told apart by its bits.
    const Json j = velmora::field_json(f);
    EXPECT_EQ(velmora::field_json(g), j);
    EXPECT_EQ(vtest::bits(field(g).coord()), vtest::bits(field(f).coord()));
    EXPECT_EQ(vtest::bits(field(g).float_values(0)), vtest::bits(field(f).float_values(0)));
    EXPECT_EQ(g.at("uniform").int_value(), 0);
    EXPECT_EQ(j["cell_sets"][2]["type"], "Polyline");
    EXPECT_EQ(j["node_data"][0]["id"], 672);
    EXPECT_EQ(j["node_data"][1]["null_flag"], 0);   // a null value without its flag stays unflagged
    EXPECT_EQ(j["texts"]["text_values"], Json::parse(R"(["0 km", "", "\"5\" km", "é"])"));
    EXPECT_EQ(j["xform"]["xlate"], Json::parse("[1.5, 0, -3]"));
    // The texts are short: 0.1f is written as 0.1, not 0.10000000149011612.
    EXPECT_EQ(j["node_data"][0]["values"].dump(), R"([0.1,"nan","inf","-inf",2.5,1e-07,123456.79,-0.0])");
}

TEST_F(FieldJsonTest, DescriptionsThatDoNotFitAreRejectedAtTheirPlace) {
    const std::pair<const char*, const char*> cases[] = {
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
        {R"({"nnodes": 2, "uniform": 1})", "f.json:1:1: error: a uniform grid needs \"dims\" and \"points\""},
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
    for (const auto& [text, message] : cases) {
        host.reset();
        EXPECT_EQ(vtest::error_of<NetworkError>([&] { load("bad", text); }), message) << text;
    }
}

}  // namespace
