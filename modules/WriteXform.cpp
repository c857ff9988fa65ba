// WriteXform: when `save` is 1 or more, writes the viewer's transform (the
// 4 x 4 matrix, translation and the three centres of `xform`) as a view
// script record that the host reads back to restore the view:
//
//   mode 0  appended to `filename`, framed by "$push" and "$pop" lines;
//   mode 1  written to a new file "<dirname>/<prefix>_<cnt, 5 digits>.v",
//           after which `cnt` is raised by one.
//
// The numbered name was written with the separator of the platform the view
// scripts come from, a backslash; here it is this platform's "/", so that
// the file lands in dirname as it does there: dirname "/tmp/views", prefix
// "storm" and cnt 7 give /tmp/views/storm_00007.v.
#include <climits>
#include <cstdio>
#include <memory>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HeapText;
using velmora::HostArray;

constexpr int kPathSize = 1024;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A string parameter that must be present and not empty.
int get_text(Frame& f, const char* param, const char* missing, const char* empty, HeapText& text) {
    text = f.get_str(param);
    if (!text) return f.fail(missing);
    if (text.get()[0] == '\0') return f.fail(empty);
    return 1;
}

// The float array `name` of the transform, which must hold `count` values.
int get_floats(Frame& f, OMobj_id& xform, const char* name, std::int64_t count, const char* message,
               HostArray<float>& a) {
    std::int64_t size = 0;
    a.reset(OMret_name_array_ptr(&xform, OMstr_to_name(name), OM_GET_ARRAY_RD, &size, nullptr));
    if (!a || size != count) return f.fail(message);
    return 1;
}

struct Transform {
    HostArray<float> mat, xlate, center, dcenter, ocenter;
};

void write_record(std::FILE* out, bool framed, const char* appname, const char* viewname, const Transform& x) {
    auto d = [](float v) { return static_cast<double>(v); };
    auto triple = [&](const char* fmt, const HostArray<float>& a) { std::fprintf(out, fmt, d(a[0]), d(a[1]), d(a[2])); };
    const HostArray<float>& m = x.mat;
    if (framed) std::fputs("$push\n", out);
    std::fprintf(out, "%s {\n", appname);
    std::fprintf(out, "  %s {\n", viewname);
    std::fputs("    Scene {\n", out);
    std::fputs("      Top {\n", out);
    std::fputs("        Xform {\n", out);
    std::fputs("          mat     = {\n", out);
    for (int r = 0; r < 3; ++r)
        std::fprintf(out, "            % e, % e, % e, % e,\n", d(m[4 * r]), d(m[4 * r + 1]), d(m[4 * r + 2]),
                     d(m[4 * r + 3]));
    std::fprintf(out, "            % e, % e, % e, % e \n", d(m[12]), d(m[13]), d(m[14]), d(m[15]));
    std::fputs("          };\n", out);
    triple("          center  = { % e, % e, % e };\n", x.center);
    triple("          xlate   = { % e, % e, % e };\n", x.xlate);
    triple("          dcenter = { % e, % e, % e };\n", x.dcenter);
    triple("          ocenter = { % e, % e, % e };\n", x.ocenter);
    std::fputs("        };\n", out);
    std::fputs("      };\n", out);
    std::fputs("    };\n", out);
    std::fputs("  };\n", out);
    std::fputs("};\n", out);
    if (framed) std::fputs("$pop\n", out);
    std::fputs("\n", out);
}

void update(Frame& f) {
    int save = 0;
    if (!f.require("save", save)) return;
    if (save < 1) return;

    HeapText appname, viewname;
    if (get_text(f, "appname", "%s : can not get appname.\n", "%s : can not get appname(1>len).\n", appname) != 1) return;
    if (get_text(f, "viewname", "%s : can not get viewname.\n", "%s : can not get viewname(1>len).\n", viewname) != 1)
        return;

    int mode = 0;
    if (!f.require("mode", mode)) return;
    // Only the two modes name a file; any other is refused before a file
    // name is read or a file touched.
    if (mode != 0 && mode != 1) return (void)f.fail("%s : unsupport mode(%d).\n", mode);

    HeapText filename, dirname, prefix;
    int cnt = 0;
    if (mode == 0) {
        if (get_text(f, "filename", "%s : can not get filename.\n", "%s : can not get filename(1>len).\n", filename) != 1)
            return;
    } else {
        if (get_text(f, "dirname", "%s : can not get dirname.\n", "%s : can not get dirname(1>len).\n", dirname) != 1)
            return;
        if (get_text(f, "prefix", "%s : can not get prefix.\n", "%s : can not get prefix(1>prefix).\n", prefix) != 1)
            return;
        if (!f.require("cnt", cnt)) return;
        // The number is raised after the file is written; the last int can
        // not be, and a second save would replace the same file.
        if (cnt == INT_MAX) return (void)f.fail("%s : cnt out of range(%d).\n", cnt);
    }

    OMobj_id xform = f.find("xform", OM_OBJ_RW);
    Transform x;
    if (get_floats(f, xform, "mat", 16, "%s : can not get mat.\n", x.mat) != 1) return;
    if (get_floats(f, xform, "xlate", 3, "%s : can not get xlate.\n", x.xlate) != 1) return;
    if (get_floats(f, xform, "center", 3, "%s : can not get center.\n", x.center) != 1) return;
    if (get_floats(f, xform, "dcenter", 3, "%s : can not get dcenter.\n", x.dcenter) != 1) return;
    if (get_floats(f, xform, "ocenter", 3, "%s : can not get ocenter.\n", x.ocenter) != 1) return;

    char numbered[kPathSize];
    const char* path = filename.get();
    if (mode == 1) {
        // The numbered name must fit its 1024-byte buffer whole; a cut name
        // would write some other file.
        const int len = std::snprintf(numbered, sizeof numbered, "%s/%s_%05d.v", dirname.get(), prefix.get(), cnt);
        if (len < 0 || len >= kPathSize) return (void)f.fail("%s : file name too long(%d>1023).\n", len);
        path = numbered;
    }
    File out(FILEfopen(path, mode == 0 ? "a" : "w"));
    if (!out) return (void)f.fail("%s : can not open %s.\n", path);
    write_record(out.get(), mode == 0, appname.get(), viewname.get(), x);
    // A record that did not reach the disk (a full disk) is not counted as
    // saved: cnt stays and done is not set.
    const bool written = std::fflush(out.get()) == 0 && !std::ferror(out.get());
    const bool closed = std::fclose(out.release()) == 0;
    if (!written || !closed) return (void)f.fail("%s : can not write %s.\n", path);

    if (mode == 1) f.set_int("cnt", cnt + 1);
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int WriteXformUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes, update);
}
