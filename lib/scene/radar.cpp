#include "scene/radar.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "io/geo.h"

namespace velmora::scene {

namespace {

int middle(const std::vector<float>& axis) { return static_cast<int>(axis.size() / 2); }

double extent(const std::vector<float>& axis) { return axis.empty() ? 1.0 : axis.back() - axis.front(); }

void add_display_instances(Json& in, const AnalyzeOptions& o, const Volume& v, const std::string& view_file) {
    const double dz = v.z.size() > 1 ? v.z[1] - v.z[0] : 0.5;
    in["thresh"] = {{"module", "ThreshMin"}, {"params", {{"thresh_value", 15.0}, {"null_value", -9999.0}}},
                    {"links", {{"in", "radar"}}}};
    in["trans"] = {{"module", "CreateRainTrans"}, {"params", {{"minlevel", 15.0}, {"maxlevel", 60.0}, {"zecomp", 0}}},
                   {"links", {{"in", "radar"}}}};
    in["slice"] = {{"module", "CreateRainSlice"},
                   {"params",
                    {{"indexi", middle(v.x)}, {"indexj", middle(v.y)}, {"indexk", 0},
                     {"delta", std::max(extent(v.x), extent(v.y)) / 4}, {"angle", 0.0}, {"plane_num", 1}}},
                   {"links", {{"in", "radar"}}}};
    in["mesh"] = {{"module", "MakeRainMesh"},
                  {"params", {{"component", 0}, {"minValue", o.level + 5}, {"maxValue", 80.0}, {"length", dz}}},
                  {"links", {{"in_mesh", "radar"}}},
                  {"calls", {"MakeRainMeshConstant_update"}}};
    in["alpha"] = {{"module", "AlphaPlane"},
                   {"params", {{"axis", 2}, {"plane", 0}, {"comp", 0}, {"alpha_min", 0.0}, {"alpha_max", 0.15},
                               {"data_min", 10.0}, {"data_max", 60.0}, {"null_value", -9999.0}}},
                   {"links", {{"in", "radar"}}}};
    in["pick"] = {{"module", "GetPickInfo"}, {"params", {{"fr_num", 1}, {"bk_num", 0}}}, {"calls", Json::array()}};
    in["picktext"] = {{"module", "PickInfo2Str"}, {"links", {{"posi", "pick.out"}, {"data", "probe"}}},
                      {"calls", Json::array()}};
    in["view"] = {{"module", "WriteXform"},
                  {"params", {{"save", 0}, {"appname", "velmora"}, {"viewname", "view"}, {"mode", 0},
                              {"filename", view_file}}},
                  {"calls", Json::array()}};
}

}  // namespace

Json radar_network(const AnalyzeOptions& o, const Volume& v, const std::string& view_file) {
    Json net = analysis_network(network_settings(o), o.time, "", "", v);
    net.erase("fields");
    net["description"] = "velmora view: " + net["description"].get<std::string>();
    Json& in = net["instances"];
    // The analysis' writers write nothing here: their tables are on screen.
    for (const char* writer : {"surfcsv", "ijk", "csv"}) in.erase(writer);
    add_display_instances(in, o, v, view_file);
    return net;
}

std::vector<MapLine> read_map(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto u32 = [&](std::size_t at) {
        if (at + 4 > bytes.size()) throw std::runtime_error(path + ": the map file is cut short");
        std::uint32_t v = 0;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    if (!f.eof() && !f) throw std::runtime_error("can not read " + path);
    if (bytes.size() < 16 || bytes.compare(0, 4, "VMAP") != 0 || u32(4) != 1)
        throw std::runtime_error(path + " is not a velmora map file");
    const std::uint32_t nlines = u32(8), npoints = u32(12);
    const std::size_t kinds = 16 + 4 * std::size_t{nlines}, coords = kinds + (nlines + 3) / 4 * 4;
    if (coords + 8 * std::size_t{npoints} != bytes.size()) throw std::runtime_error(path + ": the map file's counts do not fit");
    std::vector<MapLine> lines(nlines);
    std::size_t at = coords;
    for (std::uint32_t l = 0; l < nlines; ++l) {
        const std::uint32_t n = u32(16 + 4 * std::size_t{l});
        if (at + 8 * std::size_t{n} > bytes.size()) throw std::runtime_error(path + ": the map file's counts do not fit");
        lines[l].kind = static_cast<unsigned char>(bytes[kinds + l]);
        lines[l].lonlat.resize(2 * std::size_t{n});
        std::memcpy(lines[l].lonlat.data(), bytes.data() + at, 8 * std::size_t{n});
        at += 8 * std::size_t{n};
    }
    return lines;
}

}  // namespace velmora::scene
