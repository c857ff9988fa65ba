// PickInfo2Str: turns picked positions (the point field `posi`, typically the
// accumulated picks of GetPickInfo) and the node data found at them (`data`,
// node p belonging to node p of posi) into one text for display in `ostr`:
//
//   (empty line)
//   Pick 1
//   xyz  1.000000e+00  2.000000e+00  3.000000e+00
//   ze  4.500000e+01
//   (empty line)
//
// Every number is a float widened to double and written with "% e".
// PickInfo2StrClear empties `ostr`.
#include <new>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HostArray;

// A text on the C heap that grows as lines are appended. Lines are composed
// in a Text of their own, so a line has no fixed limit: a long vector (about
// 16 characters per value) or a long label is written whole, never cut off
// and never past a buffer's end.
class Text {
public:
    // Appends the formatted text; false when the memory can not be had.
    bool __attribute__((format(printf, 2, 3))) appendf(const char* fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        va_list again;
        va_copy(again, ap);
        const int need = std::vsnprintf(nullptr, 0, fmt, ap);
        va_end(ap);
        bool ok = need >= 0 && reserve(len_ + static_cast<std::size_t>(need));
        if (ok) {
            std::vsnprintf(buf_.get() + len_, cap_ - len_, fmt, again);
            len_ += static_cast<std::size_t>(need);
        }
        va_end(again);
        return ok;
    }
    bool append(const Text& line) {
        if (!reserve(len_ + line.len_)) return false;
        if (line.len_ > 0) std::memcpy(buf_.get() + len_, line.buf_.get(), line.len_ + 1);
        len_ += line.len_;
        return true;
    }
    void clear() {
        len_ = 0;
        if (buf_) buf_[0] = '\0';
    }
    const char* c_str() const { return buf_ ? buf_.get() : ""; }

private:
    // Room for n characters and the terminator; the capacity doubles, so a
    // text of many picks is built in linear time.
    bool reserve(std::size_t n) {
        if (n < cap_) return true;
        std::size_t cap = cap_ ? cap_ : 64;
        while (cap <= n) {
            if (cap > SIZE_MAX / 2) return false;
            cap *= 2;
        }
        void* p = std::realloc(buf_.get(), cap);
        if (!p) return false;
        (void)buf_.release();
        buf_.reset(static_cast<char*>(p));
        if (cap_ == 0) buf_[0] = '\0';
        cap_ = cap;
        return true;
    }

    velmora::Heap<char[]> buf_;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
};

// One node-data component of `data`, accepted as float with veclen >= 1.
struct Component {
    int type = 0;
    int veclen = 0;
    HostArray<float> values;   // at least N x veclen values
    char label[velmora::kLabelSize] = "";
};

struct Components {
    std::unique_ptr<Component[]> list;
    int count = 0;
};

// Reads every component of data, each holding the values of at least nnodes
// nodes. No components at all is a success with none.
int read_components(Frame& f, OMobj_id& data, std::int64_t nnodes, Components& comps) {
    int ncomp = 0;
    FLDget_node_data_ncomp(&data, &ncomp);
    if (ncomp < 1) return 1;
    comps.list.reset(new (std::nothrow) Component[static_cast<std::size_t>(ncomp)]);
    // A failed allocation of the records is reported like the text's.
    if (!comps.list) return f.fail("%s : can not allocate memory(node_data).\n");
    comps.count = ncomp;
    for (int d = 0; d < ncomp; ++d) {
        Component& c = comps.list[d];
        FLDget_node_data_type(&data, d, &c.type);
        if (c.type != DTYPE_FLOAT) return f.fail("%s : unsupport data_type.\n");
        FLDget_node_data_veclen(&data, d, &c.veclen);
        if (c.veclen < 1) return f.fail("%s : unsupoort veclen(1 > veclen).\n");
        FLDget_node_data_label(&data, d, c.label, velmora::kLabelSize);
        c.label[velmora::kLabelSize - 1] = '\0';
        velmora::node_data(data, d, OM_GET_ARRAY_RD, c.values);
        if (!c.values) return f.fail("%s : can not get node_data[%d].value.\n", d);
        // `data` must describe every picked node: fewer values than posi
        // has nodes would be read past their end.
        if (c.values.size() / c.veclen < nnodes) return f.fail("%s : node_data[%d].value holds fewer nodes than posi.\n", d);
    }
    return 1;
}

// Builds the pick text and stores it in ostr.
int write_text(Frame& f, const float* coord, std::int64_t nnodes, int nspace, const Components& comps) {
    Text text, line;
    bool ok = text.appendf("\n");
    for (std::int64_t p = 0; ok && p < nnodes; ++p) {
        line.clear();
        ok = line.appendf("Pick %lld\n", static_cast<long long>(p + 1)) && text.append(line);

        line.clear();
        ok = ok && line.appendf("xyz ");
        for (int a = 0; ok && a < nspace; ++a)
            ok = line.appendf(a + 1 < nspace ? "% e " : "% e\n", static_cast<double>(coord[p * nspace + a]));
        ok = ok && text.append(line);

        for (int d = 0; ok && d < comps.count; ++d) {
            const Component& c = comps.list[d];
            line.clear();
            ok = line.appendf("%s ", c.label);
            std::printf("veclen = %d.\n", c.veclen);
            const float* v = c.values.get() + p * c.veclen;
            for (int e = 0; ok && e < c.veclen; ++e)
                ok = line.appendf(e + 1 < c.veclen ? "% e  " : "% e\n", static_cast<double>(v[e]));
            ok = ok && text.append(line);
        }
        ok = ok && text.appendf("\n");
    }
    if (!ok) return f.fail("%s : can not allocate memory(ostr).\n");
    OMset_name_str_val(&f.self, OMstr_to_name("ostr"), text.c_str());
    return 1;
}

void update(Frame& f) {
    OMobj_id posi;
    std::int64_t nnodes = 0;
    if (!f.input("posi", OM_OBJ_RW, posi, nnodes)) return;

    int nspace = 0;
    FLDget_nspace(&posi, &nspace);
    if (nspace < 1 || nspace > 3) return (void)f.fail("%s : unsupoort nspace(%d).\n", nspace);
    HostArray<float> coord;
    FLDget_coord(&posi, coord.out(), coord.size_out(), OM_GET_ARRAY_RD);
    // Coordinates of fewer nodes than counted are as good as none.
    if (!coord || coord.size() / nspace < nnodes) return (void)f.fail("%s : can not get coord.\n");

    OMobj_id data = f.find("data", OM_OBJ_RW);
    Components comps;
    if (read_components(f, data, nnodes, comps) != 1) return;
    std::printf("ncomp = %d.\n", comps.count);

    if (write_text(f, coord.get(), nnodes, nspace, comps) != 1) return;
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int PickInfo2StrUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes, update);
}

VELMORA_EXPORT int PickInfo2StrClear(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    if (!obj) return 1;
    OMobj_id self = *obj;
    OMset_name_str_val(&self, OMstr_to_name("ostr"), "");
    return 1;
}
