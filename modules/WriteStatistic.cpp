// WriteStatistic: the statistic parameter group as comma-separated text, one
// header line from the first entry's labels, then one line per area: number,
// node count, arithmetic centre, the weighted centre of every component, and
// minimum, maximum, mean and deviation of every component. Each entry is read
// completely before its line is printed, so the file only ever holds whole
// lines.
#include <cstdint>
#include <cstdio>
#include <memory>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::Heap;
using velmora::heap_array;
using velmora::HostArray;
using velmora::kLabelSize;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Everything one line needs, read from sparam[i].
struct Entry {
    int no = 0, npoints = 0, ncomp = 0;
    HostArray<float> dmin, dmax, dave, sv;
    Heap<char[]> linf;   // ncomp label slots of kLabelSize bytes
    Heap<float[]> wavx, wavy, wavz;
    float ax = 0, ay = 0, az = 0;

    const char* label(int j) const { return linf.get() + static_cast<std::ptrdiff_t>(j) * kLabelSize; }
};


// A real read as a double and printed as the float it stands for.
bool get_real(OMobj_id obj, const char* name, float& v) {
    double d = 0.0;
    if (OMget_name_real_val(&obj, OMstr_to_name(name), &d) != 1) return false;
    v = static_cast<float>(d);
    return true;
}

// A statistics array of exactly ncomp floats, read-only.
bool entry_array(OMobj_id entry, const char* name, int ncomp, HostArray<float>& out) {
    std::int64_t size = 0;
    int type = -1;
    out.reset(OMret_name_array_ptr(&entry, OMstr_to_name(name), OM_GET_ARRAY_RD, &size, &type));
    return out && size == ncomp && type == DTYPE_FLOAT;
}

int read_entry(Frame& f, int i, Entry& e) {
    char name[32];
    std::snprintf(name, sizeof name, "sparam[%d]", i);
    // A missing entry, aav or wav[j] shows as a failed read of its first value.
    OMobj_id s = OMfind_str_subobj(&f.self, name, OM_OBJ_RD);
    if (!f.require_of(s, "no", e.no)) return -1;
    if (!f.require_of(s, "npoints", e.npoints)) return -1;
    if (!f.require_of(s, "ncomp", e.ncomp)) return -1;
    // An entry without components has no statistics to print and could not
    // end its lines; it fails here, as no array of its can hold a value.
    if (!entry_array(s, "data_min", e.ncomp, e.dmin)) return f.fail("%s : can not get data_min.\n");
    if (!entry_array(s, "data_max", e.ncomp, e.dmax)) return f.fail("%s : can not get data_max.\n");
    if (!entry_array(s, "data_ave", e.ncomp, e.dave)) return f.fail("%s : can not get data_ave.\n");
    if (!entry_array(s, "sv", e.ncomp, e.sv)) return f.fail("%s : can not get sv.\n");

    e.linf = heap_array<char>(static_cast<std::int64_t>(e.ncomp) * kLabelSize);
    if (!e.linf) return f.fail("%s : can not allocate memory(linf).\n");
    std::memset(e.linf.get(), 0, static_cast<std::size_t>(e.ncomp) * kLabelSize);
    if (!(e.wavx = heap_array<float>(e.ncomp))) return f.fail("%s : can not allocate memory(wavx).\n");
    if (!(e.wavy = heap_array<float>(e.ncomp))) return f.fail("%s : can not allocate memory(wavy).\n");
    if (!(e.wavz = heap_array<float>(e.ncomp))) return f.fail("%s : can not allocate memory(wavz).\n");

    OMobj_id aav = OMfind_subobj(&s, OMstr_to_name("aav"), OM_OBJ_RD);
    if (!get_real(aav, "x", e.ax)) return f.fail("%s : can not get x (arithmetic mean).\n");
    if (!get_real(aav, "y", e.ay)) return f.fail("%s : can not get y (arithmetic mean).\n");
    if (!get_real(aav, "z", e.az)) return f.fail("%s : can not get z (arithmetic mean).\n");

    // A missing label array, or a missing element, leaves its slot empty.
    OMobj_id labels = OMfind_subobj(&s, OMstr_to_name("label"), OM_OBJ_RD);
    for (int j = 0; j < e.ncomp; ++j) {
        char* slot = e.linf.get() + static_cast<std::ptrdiff_t>(j) * kLabelSize;
        OMget_str_array_val(&labels, j, &slot, kLabelSize);
        slot[kLabelSize - 1] = '\0';
        if (slot[0] == '\0') std::snprintf(slot, kLabelSize, "DATA%d", j);
        char wav[32];
        std::snprintf(wav, sizeof wav, "wav[%d]", j);
        OMobj_id w = OMfind_str_subobj(&s, wav, OM_OBJ_RD);
        e.wavx[j] = e.wavy[j] = e.wavz[j] = 0.0f;
        if (!get_real(w, "x", e.wavx[j])) return f.fail("%s : can not get x (weighted mean).\n");
        if (!get_real(w, "y", e.wavy[j])) return f.fail("%s : can not get y (weighted mean).\n");
        if (!get_real(w, "z", e.wavz[j])) return f.fail("%s : can not get z (weighted mean).\n");
    }
    return 1;
}

void write_header(std::FILE* out, const Entry& e) {
    std::fprintf(out, "AreaNo,NumPoints,");
    std::fprintf(out, "CenterX,CenterY,CenterZ,");
    for (int j = 0; j < e.ncomp; ++j) {
        const char* l = e.label(j);
        std::fprintf(out, "%s_CenterX,%s_CenterY,%s_CenterZ,", l, l, l);
    }
    for (int j = 0; j < e.ncomp; ++j) {
        const char* l = e.label(j);
        std::fprintf(out, j + 1 < e.ncomp ? "%s_Min,%s_Max,%s_Ave,%s_SD," : "%s_Min,%s_Max,%s_Ave,%s_SD\n", l, l, l, l);
    }
}

void write_line(std::FILE* out, const Entry& e) {
    auto d = [](float v) { return static_cast<double>(v); };
    std::fprintf(out, "%d,%d,", e.no, e.npoints);
    std::fprintf(out, "%e,%e,%e,", d(e.ax), d(e.ay), d(e.az));
    for (int j = 0; j < e.ncomp; ++j) std::fprintf(out, "%e,%e,%e,", d(e.wavx[j]), d(e.wavy[j]), d(e.wavz[j]));
    for (int j = 0; j < e.ncomp; ++j)
        std::fprintf(out, j + 1 < e.ncomp ? "%e,%e,%e,%e," : "%e,%e,%e,%e\n", d(e.dmin[j]), d(e.dmax[j]), d(e.dave[j]),
                     d(e.sv[j]));
}

void update(Frame& f) {
    velmora::HeapText filename = f.get_str("filename");
    if (!filename) return (void)f.fail("%s : can not get filename.\n");
    if (filename.get()[0] == '\0') return (void)f.fail("%s : can not get filename(1>len).\n");
    int nsurf = 0;
    f.get_int("nsurf", nsurf);   // unreadable: nothing to write
    if (nsurf < 1) return;

    File out(FILEfopen(filename.get(), "w"));
    if (!out) return (void)f.fail("%s : can not open %s.\n", filename.get());
    for (int i = 0; i < nsurf; ++i) {
        Entry e;
        if (read_entry(f, i, e) != 1) return;
        if (i == 0) write_header(out.get(), e);
        write_line(out.get(), e);
    }
    // A stream that failed (a full disk) must not pass for a written file.
    const bool write_error = std::ferror(out.get()) != 0;
    if (std::fclose(out.release()) != 0 || write_error)
        return (void)f.fail("%s : can not write %s.\n", filename.get());
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int WriteStatisticUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
