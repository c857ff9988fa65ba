#include "report.h"

#include <vtksys/Base64.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "io/output_files.h"
#include "scene/scene.h"

namespace velmora::cli {

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return {};
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace

// Standard base64, padded, by VTK's own encoder.
std::string base64(const std::string& in) {
    std::string out((in.size() + 2) / 3 * 4, '\0');
    out.resize(vtksysBase64_Encode(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                                   reinterpret_cast<unsigned char*>(out.data()), 0));
    return out;
}

std::string deflated(const std::string& in) {
    uLongf n = compressBound(static_cast<uLong>(in.size()));
    std::string out(n, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(in.data()),
                  static_cast<uLong>(in.size()), 6) != Z_OK)
        throw std::runtime_error("can not compress the scene");
    out.resize(n);
    return out;
}

// A script inside <script>: no "</" may end it early.
std::string inline_script(std::string js) {
    for (auto at = js.find("</"); at != std::string::npos; at = js.find("</", at + 3)) js.replace(at, 2, "<\\/");
    return js;
}

bool write_report(const AnalyzeOptions& o, const std::string& viewer, std::FILE* err) {
    try {
        scene::ViewOptions v;
        v.input = o.volume;
        v.analysis = o;
        v.out = o.out;
        v.map_file = viewer + "/map.bin";
        v.layers.max_voxels = 1'000'000;   // a file to send: a lighter volume
        const std::string pack = scene::Scene(v).full();
        const std::string js = read_file(fs::path(viewer) / "viewer.js"), css = read_file(fs::path(viewer) / "style.css");
        if (js.empty()) throw std::runtime_error("the viewer's files are missing in " + viewer);
        const std::string plan = read_file(fs::path(o.out) / "plan.png");
        Json data = {{"pack", base64(deflated(pack))},
                     {"plan", plan.empty() ? "" : "data:image/png;base64," + base64(plan)},
                     {"cells", read_file(fs::path(o.out) / "cell_properties.csv")}};
        // Whole or not at all, and listed among the results velmora wrote.
        write_file((fs::path(o.out) / "report.html").string(), [&](std::FILE* f) {
            const std::string page =
                "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>velmora report</title><style>" +
                css + "</style></head><body><div id=\"app\"><div id=\"view\"></div><aside id=\"panel\"></aside></div>\n" +
                "<script>window.VELMORA_REPORT = " + inline_script(data.dump()) + ";</script>\n<script>" +
                inline_script(js) + "</script>\n</body></html>\n";
            std::fwrite(page.data(), 1, page.size(), f);
        });
        note_written(o.out, "report.html");
        std::printf("  report.html\n");
        return true;
    } catch (const std::exception& e) {
        std::fprintf(err, "velmora analyze: no report: %s\n", e.what());
        return false;
    }
}

}  // namespace velmora::cli
