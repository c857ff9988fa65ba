// Networks built on the host: parameters, links, dataflow order, fields
// named by paths, included files, overrides, and every kind of mistake
// rejected with its place before anything runs.
#include "network.h"

#include "temp_files.h"
#include "module_test.h"

namespace {

using velmora::app::Document;
using velmora::app::Json;
using velmora::app::NetworkError;
using velmora::app::Place;
using velmora::app::Plan;

class NetworkTest : public vtest::ModuleTest {
protected:
    Plan build(const std::string& text, const std::vector<std::string>& overrides = {}) {
        doc_ = std::make_unique<Document>(Document::parse("net.json", text));
        return velmora::app::build_network(*doc_, overrides);
    }
    std::string error_of(const std::string& text, const std::vector<std::string>& overrides = {}) {
        host.reset();
        try {
            build(text, overrides);
        } catch (const NetworkError& e) {
            EXPECT_EQ(host.arrays_handed_out(), 0) << "nothing runs";
            EXPECT_TRUE(host.reports().empty());
            EXPECT_TRUE(host.root().children().empty()) << "a rejected network leaves nothing in the tree";
            return e.what();
        }
        return "";
    }
    static std::vector<std::string> names(const Plan& p) {
        std::vector<std::string> n;
        for (const auto& i : p.instances) n.push_back(i.name);
        return n;
    }
    std::unique_ptr<Document> doc_;
};

const char* const grid = R"("grid": {"nnodes": 3, "node_data": [{"label": "ze", "values": [1, 2, 3]}]})";

std::string net(const std::string& instances, const std::string& fields = grid) {
    return "{\n\"fields\": {" + fields + "},\n\"instances\": {\n" + instances + "\n}}";
}

TEST_F(NetworkTest, InstancesRunAfterTheInstancesTheyReadFromOtherwiseInFileOrder) {
    Plan plan = build(net(R"(
"late": {"module": "ThreshMin", "links": {"in": "early.out_nd", "null_value": "early.done"},
         "params": {"thresh_value": 1.5}},
"other": {"module": "ThreshMin", "links": {"in": "grid"}, "calls": ["ThreshMinUpdate", "ThreshMinUpdate"]},
"early": {"module": "ThreshMin", "links": {"in": "grid"}, "params": {"thresh_value": 2, "null_value": -1}},
"idle": {"module": "ThreshMin", "calls": []})"));
    EXPECT_EQ(names(plan), (std::vector<std::string>{"other", "early", "late", "idle"}));
    EXPECT_EQ(plan.instances[0].calls, (std::vector<std::string>{"ThreshMinUpdate", "ThreshMinUpdate"}));
    EXPECT_EQ(plan.instances[1].calls, (std::vector<std::string>{"ThreshMinUpdate"}));
    EXPECT_TRUE(plan.instances[3].calls.empty());
    vhost::Object& late = *plan.instances[2].object;
    EXPECT_EQ(late.child("in")->kind(), vhost::Kind::Link);
    EXPECT_EQ(late.child("in")->target(), "early.out_nd");
    EXPECT_EQ(late.at("thresh_value").real_value(), 1.5);
    vhost::Object& early = *plan.instances[1].object;
    EXPECT_EQ(early.at("thresh_value").real_value(), 2.0);   // an integer for a real
    // The linked parameter reads what the other instance writes.
    early.at("done").set_int(1);
    OMobj_id id = host.id_of(late);
    double v = 0;
    EXPECT_EQ(OMget_name_real_val(&id, OMstr_to_name("null_value"), &v), 1);
    EXPECT_EQ(v, 1.0);
}

TEST_F(NetworkTest, ACycleOfLinksNamesItsInstances) {
    EXPECT_EQ(error_of(net(R"(
"a": {"module": "ThreshMin", "links": {"in": "grid", "thresh_value": "c.done"}},
"b": {"module": "ThreshMin", "links": {"in": "a.out_nd"}},
"c": {"module": "ThreshMin", "links": {"in": "b.out_nd"}},
"d": {"module": "ThreshMin", "links": {"in": "grid"}})")),
              "net.json:5:70: error: the links make a cycle: \"a\" -> \"c\" -> \"b\" -> \"a\" (each instance would have "
              "to run after the one it reads from)");
    // An instance that reads its own output waits for nobody.
    EXPECT_EQ(error_of(net(R"("a": {"module": "ThreshMin", "links": {"in": "a.out_nd"}})")), "");
}

TEST_F(NetworkTest, MistakesAreRejectedWithTheirPlaceAndName) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::string ok = R"("links": {"in": "grid"})";
    const Case cases[] = {
        {net(R"("t": {"module": "ThreshMn"})"),
         "net.json:4:17: error: unknown module \"ThreshMn\" (did you mean \"ThreshMin\"?); known modules: "},
        {net(R"("t": {"modul": "ThreshMin"})"),
         "net.json:4:7: error: unknown key \"modul\" in an instance (did you mean \"module\"?); known keys: module, "
         "description, params, links, calls"},
        {net(R"("t": {"params": {}})"), "net.json:4:1: error: the instance \"t\" names no \"module\""},
        {net(R"("t": {"module": "ThreshMin", "params": {"thresh": 1}})"),
         "net.json:4:41: error: ThreshMin has no \"thresh\"; it has: thresh_value, null_value, in, out_nd, done"},
        {net(R"("t": {"module": "ThreshMin", "params": {"thresh_value": "high"}})"),
         "net.json:4:57: error: \"thresh_value\" is a real and takes a number (or \"nan\", \"inf\", \"-inf\"), not the "
         "string \"high\""},
        {net(R"("t": {"module": "ThreshMin", "params": {"done": 3000000000}})"),
         "net.json:4:49: error: \"done\": 3000000000 is out of range (-2147483648 to 2147483647)"},
        {net(R"("t": {"module": "ThreshMin", "params": {"in": {}}})"),
         "net.json:4:47: error: \"in\" is a field: link it under \"links\" to a field declared under \"fields\""},
        {net(R"("t": {"module": "ThreshMin", "params": {"a..b": 1}})"),
         "net.json:4:41: error: \"a..b\" is not a valid parameter path: names joined by \".\", elements as name[i]"},
        {net(R"("t": {"module": "ThreshMin", "links": {"in": "gird"}})"),
         "net.json:4:46: error: link target \"gird\": the network has no \"gird\" (did you mean \"grid\"?); it has: "
         "grid, t"},
        {net(R"("t": {"module": "ThreshMin", "links": {"in": "grid.node_data[4]"}})"),
         "net.json:4:46: error: \"in\" is a field and cannot be linked to \"grid.node_data[4]\", a group"},
        {net(R"("t": {"module": "ThreshMin", "links": {"inn": "grid"}})"),
         "net.json:4:40: error: ThreshMin has no \"inn\" (did you mean \"in\"?); it has: thresh_value, null_value, "
         "in, out_nd, done"},
        {net(R"("t": {"module": "ThreshMin", "params": {"done": 0}, "links": {"in": "grid", "done": "grid.nnodes"}})"),
         "net.json:4:77: error: \"done\" is both linked and given under \"params\" as \"done\""},
        {net(R"("t": {"module": "ThreshMin", "calls": ["ThreshMinUpdat"]})"),
         "net.json:4:40: error: ThreshMin has no entry point \"ThreshMinUpdat\" (did you mean \"ThreshMinUpdate\"?); it "
         "has: ThreshMinUpdate"},
        {net(R"("grid": {"module": "ThreshMin"})"),
         "net.json:4:1: error: the instance name \"grid\" is taken by a field of that name"},
        {"{\"fields\": {}, \"instance\": {}}",
         "net.json:1:16: error: unknown key \"instance\" in a network file (did you mean \"instances\"?); known keys: "
         "description, include, fields, instances, run"},
    };
    for (const auto& c : cases) {
        std::string got = error_of(c.text);
        EXPECT_EQ(got.substr(0, c.message.size()), c.message) << c.text;
    }
    // Near misses are suggested for real typos only (case, two letters swapped).
    auto param = [&](const std::string& key) { return error_of(net(R"("t": {"module": "ThreshMin", "params": {")" + key + R"(": 1}})")); };
    EXPECT_NE(param("Done").find("(did you mean \"done\"?)"), std::string::npos);
    for (const char* far : {"x", "threshold"}) EXPECT_EQ(param(far).find("did you mean"), std::string::npos) << far;
}

TEST_F(NetworkTest, OverridesComeAfterTheFileAndAreCheckedLikeIt) {
    std::string text = net(R"("t": {"module": "ThreshMin", "params": {"thresh_value": 1, "null_value": 0}, "links": {"in": "grid"}})");
    Plan plan = build(text, {"t.thresh_value=2.5", "t.null_value=-9999", "t.done=null"});
    EXPECT_EQ(plan.instances[0].object->at("thresh_value").real_value(), 2.5);
    EXPECT_EQ(plan.instances[0].object->at("null_value").real_value(), -9999.0);
    EXPECT_FALSE(plan.instances[0].object->at("done").has_value());   // null leaves a value unset
    EXPECT_EQ(error_of(text, {"t.thresh_value"}), "--set t.thresh_value: error: expected INSTANCE.PARAM=VALUE");
    EXPECT_EQ(error_of(text, {"x.thresh_value=1"}), "--set x.thresh_value=1: error: there is no instance \"x\"");
    EXPECT_EQ(error_of(text, {"t=1"}), "--set t=1: error: name a parameter of \"t\": INSTANCE.PARAM=VALUE");
    EXPECT_EQ(error_of(text, {"t.thresh_valeu=1"}),
              "--set t.thresh_valeu=1: error: ThreshMin has no \"thresh_valeu\" (did you mean \"thresh_value\"?); it has: "
              "thresh_value, null_value, in, out_nd, done");
    EXPECT_EQ(error_of(text, {"t.in=grid"}),
              "--set t.in=grid: error: \"t.in\" is linked to \"grid\" and takes its value from there");
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
    Document doc = Document::parse("v.json", R"({"n": 3, "v": [0.5, "nan", -2], "free": [9007199254740993],
        "labels": ["a", "b", "c"], "texts": ["x"], "format": "%.1f", "sub": {"x": "-inf"}, "sub.x": 4,
        "count": 2, "entry": [{"no": 1}, {"no": 2, "w": [3, 4]}], "entry[0].w": [5, 6]})");
    velmora::app::set_value(g, doc.root(), Place(doc), "g");
    // (Every kind read back is the dump's test; here the paths and lengths.)
    EXPECT_EQ(vhost::floats_of(g.at("v")).size(), 3u);   // the length follows n, given first
    EXPECT_EQ(vhost::longs_of(g.at("free")), (std::vector<std::int64_t>{9007199254740993}));   // a free array takes any length
    EXPECT_EQ(g.at("sub.x").real_value(), 4.0);   // the later key wins
    EXPECT_EQ(g.at("entry[1].no").int_value(), 2);
    EXPECT_EQ(vhost::ints_of(g.at("entry[1].w")), (std::vector<std::int32_t>{3, 4}));
    EXPECT_EQ(vhost::ints_of(g.at("entry[0].w")), (std::vector<std::int32_t>{5, 6}));

    auto error_of_value = [&](const std::string& text) -> std::string {
        Document d = Document::parse("v.json", text);
        try {
            velmora::app::set_value(g, d.root(), Place(d), "g");
        } catch (const NetworkError& err) {
            return err.what();
        }
        return "";
    };
    EXPECT_EQ(error_of_value(R"({"v": [1, 2]})"),
              "v.json:1:7: error: \"g.v\" holds 3 values (its length follows n); the list has 2");
    EXPECT_EQ(error_of_value(R"({"entry": [{}]})"),
              "v.json:1:11: error: \"g.entry\" has 2 elements (its length follows count); the list has 1");
    EXPECT_EQ(error_of_value(R"({"entry[2].no": 1})"),
              "v.json:1:2: error: \"entry[2]\" does not exist: \"entry\" has 2 elements (its length follows count)");
    EXPECT_EQ(error_of_value(R"({"labels": ["a", 1, "c"]})"),
              "v.json:1:12: error: \"g.labels\" is a string array and takes a list of texts, not a list of 3 values");
    EXPECT_EQ(error_of_value(R"({"sub": {"y": 1}})"), "v.json:1:10: error: \"g.sub\" has no \"y\"; it has: x");
    EXPECT_EQ(error_of_value(R"({"format": 5})"),
              "v.json:1:12: error: \"g.format\" is a string and takes a text, not the number 5");
}

TEST_F(NetworkTest, FieldsNamedByPathsMakeGroupsAndArraysOfFields) {
    Plan plan = build(net(R"("t": {"module": "ThreshMin", "links": {"in": "slice.oplanes[1]"}})",
                          R"("prev.out_nd": {"nnodes": 1, "node_data": [{"values": [5]}]},
                             "slice.oplanes[1]": {"nnodes": 2, "node_data": [{"values": [1, 2]}]},
                             "slice.oplanes[0]": {"nnodes": 1})"));
    EXPECT_EQ(host.root().at("prev").kind(), vhost::Kind::Group);
    EXPECT_EQ(field(host.root().at("prev.out_nd")).float_values(0), (std::vector<float>{5}));
    EXPECT_EQ(host.root().at("slice.oplanes").length(), 2);
    EXPECT_EQ(field(host.root().at("slice.oplanes[0]")).nnodes(), 1);
    EXPECT_EQ(field(*plan.instances[0].object, "in").nnodes(), 2);
    EXPECT_EQ(error_of(net(R"("prev": {"module": "ThreshMin"})", R"("prev.out_nd": {})")),
              "net.json:4:1: error: the instance name \"prev\" is taken by a group of that name");
    EXPECT_EQ(error_of(net("", R"("a": {}, "a.b": {})")),
              "net.json:2:21: error: the name \"a.b\" passes through \"a\" by a field \"a\"");
    EXPECT_EQ(error_of(net("", R"("a[0]": {}, "a[00]": {})")),
              "net.json:2:24: error: the field \"a[00]\" is given twice");
    EXPECT_EQ(error_of(net("", R"("a[0]": {}, "a[1].b": {})")),
              "net.json:2:24: error: \"a\" holds fields in one name and groups in another");
    EXPECT_EQ(error_of(net("", R"("a[10000]": {})")), "net.json:2:12: error: the index in \"a[10000]\" is above 9999");
}

TEST_F(NetworkTest, IncludedFilesGiveTheirFields) {
    apptest::TempDir dir;
    dir.write("prev.json", R"({"fields": {"old": {"nnodes": 2, "node_data": [{"values": [7, 8]}]}},
                               "instances": {"ignored": {"module": "Nothing"}}})");
    std::string main = dir.write("net.json", R"({"include": ["prev.json"],
        "instances": {"t": {"module": "ThreshMin", "links": {"in": "old"}}}})");
    Document doc = Document::read(main);
    Plan plan = velmora::app::build_network(doc);
    EXPECT_EQ(field(*plan.instances[0].object, "in").float_values(0), (std::vector<float>{7, 8}));
    host.reset();
    std::string missing = dir.write("bad.json", R"({"include": ["nope.json"]})");
    Document bad = Document::read(missing);
    try {
        velmora::app::build_network(bad);
        FAIL();
    } catch (const NetworkError& e) {
        EXPECT_EQ(std::string(e.what()), missing + ":1:14: error: cannot include \"" + dir.file("nope.json") + "\": no such file");
    }
}

TEST_F(NetworkTest, LengthsAskedForByMistakenCountsAreRefusedBeforeAnythingIsMade) {
    // An array of groups sized by a parameter, reached through a path.
    EXPECT_EQ(error_of(net(R"("p": {"module": "GetPickInfo", "params": {"fr_num": 1000000000, "fr_obj[3].pick_info.npicked": 1}})")),
              "net.json:4:65: error: \"fr_obj\" would have 1000000000 elements (its length follows fr_num); at most 100000");
    // Or only declared: the check after the parameters finds it.
    EXPECT_EQ(error_of(net(R"("p": {"module": "GetPickInfo", "params": {"bk_num": 100001}})")),
              "net.json:4:42: error: \"p.bk_obj\" would have 100001 elements (its length follows bk_num); at most 100000");
    // A typed array inside an element.
    EXPECT_EQ(error_of(net(R"("c": {"module": "DispCenter", "params": {"nsurf": 1, "sparam[0].ncomp": 2000000000}})")),
              "net.json:4:41: error: \"c.sparam[0].data_min\" would have 2000000000 elements (its length follows ncomp); "
              "at most 300000000");
    // From the command line, named by the option.
    EXPECT_EQ(error_of(net(R"("p": {"module": "GetPickInfo"})"), {"p.fr_num=200000"}),
              "--set p.fr_num=200000: error: \"p.fr_obj\" would have 200000 elements (its length follows fr_num); at most "
              "100000");
    // A field's count is compared with the values given before any array is made.
    EXPECT_EQ(error_of(net("", R"("g": {"nnodes": 100000000, "node_data": [{"veclen": 1000, "values": [1]}]})")),
              "net.json:2:80: error: values holds 1 values; 100000000000 expected (100000000 nodes x veclen 1000)");
    EXPECT_EQ(host.arrays_handed_out(), 0);
}

TEST_F(NetworkTest, ALinkedValueIsNeverSetThroughItsLink) {
    // npick is declared as a link to the point count of the module's output.
    EXPECT_EQ(error_of(net(R"("p": {"module": "GetPickInfo", "params": {"npick": 3}})")),
              "net.json:4:52: error: \"npick\" is linked to \"p.out.nnodes\" and takes its value from there");
    EXPECT_EQ(error_of(net(R"("a": {"module": "ThreshMin", "links": {"in": "grid"}},
"b": {"module": "ThreshMin", "links": {"in": "grid", "null_value": "a.thresh_value"}})"),
                       {"b.null_value=5"}),
              "--set b.null_value=5: error: \"b.null_value\" is linked to \"a.thresh_value\" and takes its value from there");
}

}  // namespace
