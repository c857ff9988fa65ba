#include "run/values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "om.h"

namespace velmora {

namespace {

bool special_real(const Json& v, double& out) {
    if (!v.is_string()) return false;
    const auto& s = v.get_ref<const std::string&>();
    if (s == "nan") out = std::numeric_limits<double>::quiet_NaN();
    else if (s == "inf") out = std::numeric_limits<double>::infinity();
    else if (s == "-inf") out = -std::numeric_limits<double>::infinity();
    else return false;
    return true;
}

template <class T>
T* typed(vhost::Object& a) {
    return reinterpret_cast<T*>(a.data());
}

}  // namespace

std::string describe(const Json& v) {
    switch (v.type()) {
        case Json::value_t::null: return "null";
        case Json::value_t::boolean: return v.get<bool>() ? "true" : "false";
        case Json::value_t::string: return "the string " + in_quotes(v.get_ref<const std::string&>(), 60);
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float: return "the number " + v.dump();
        case Json::value_t::array: return "a list of " + std::to_string(v.size()) + " values";
        case Json::value_t::object: return "an object";
        default: return "a value of another kind";
    }
}

std::string type_name(int type) {
    switch (type) {
        case DTYPE_BYTE: return "byte";
        case DTYPE_CHAR: return "char";
        case DTYPE_SHORT: return "short";
        case DTYPE_INT: return "int";
        case DTYPE_FLOAT: return "float";
        case DTYPE_DOUBLE: return "double";
        case DTYPE_LONG: return "long";
        default: return "";
    }
}

int type_code(const std::string& name) {
    for (int t = DTYPE_BYTE; t <= DTYPE_LONG; ++t)
        if (type_name(t) == name) return t;
    return -1;
}

std::string kind_phrase(vhost::Object& o) {
    using vhost::Kind;
    switch (o.kind()) {
        case Kind::Group: return "a group";
        case Kind::Field: return "a field";
        case Kind::Int: return "an integer";
        case Kind::Long: return "a 64-bit integer";
        case Kind::Real: return "a real";
        case Kind::String: return "a string";
        case Kind::Array: {
            std::string t = o.typed() ? type_name(o.elem_type()) : "untyped";
            return o.shaped() ? "an array of " + std::to_string(o.wanted_length()) + " " + t + " values"
                              : "an array of " + t + " values";
        }
        case Kind::StrArray: return "a string array";
        case Kind::GroupArray: return "an array of groups";
        case Kind::Link: return "a link to " + in_quotes(o.target());
    }
    return "an object";
}

bool is_real(const Json& v) {
    double d = 0;
    return v.is_number() || special_real(v, d);
}

double real_of(const Json& v, const Place& p, const std::string& what) {
    double d = 0;
    if (v.is_number()) return v.get<double>();
    if (special_real(v, d)) return d;
    p.fail((what.empty() ? "expected" : what + " takes") + " a number (or \"nan\", \"inf\", \"-inf\"), not " + describe(v));
}

float float_of(const Json& v, const Place& p, const std::string& what) {
    double d = real_of(v, p, what);
    // Values a little above the largest float still round to it.
    if (std::isfinite(d) && std::isinf(static_cast<float>(d)))
        p.fail((what.empty() ? "" : what + ": ") + v.dump() + " does not fit a single-precision float");
    return static_cast<float>(d);
}

std::int64_t integer_of(const Json& v, const Place& p, std::int64_t lo, std::int64_t hi, const std::string& what) {
    auto out_of_range = [&](const std::string& n) {
        p.fail((what.empty() ? "" : what + ": ") + n + " is out of range (" + std::to_string(lo) + " to " +
               std::to_string(hi) + ")");
    };
    auto not_integer = [&] { p.fail((what.empty() ? "expected" : what + " takes") + " a whole number, not " + describe(v)); };
    std::int64_t n = 0;
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) out_of_range(v.dump());
        n = static_cast<std::int64_t>(u);
    } else if (v.is_number_integer()) {
        n = v.get<std::int64_t>();
    } else if (v.is_number_float()) {
        // 3.0 is a whole number; 2.5 and 1e300 are not.
        double d = v.get<double>();
        if (!(std::fabs(d) < 9.0e18) || d != std::trunc(d)) not_integer();
        n = static_cast<std::int64_t>(d);
    } else {
        not_integer();
    }
    if (n < lo || n > hi) out_of_range(std::to_string(n));
    return n;
}

Json float_json(float v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    // The shortest decimal of the float, as the double it reads as; when
    // that double would not narrow back to the same float, the float's
    // exact double value.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    double d = 0;
    if (r.ec == std::errc() && std::from_chars(buf, r.ptr, d).ec == std::errc() && static_cast<float>(d) == v) return d;
    return static_cast<double>(v);
}

Json real_json(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    return v;
}

void store_list(vhost::Object& a, const Json& list, const Place& p) {
    std::size_t n = list.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Json& v = list[i];
        Place q = p / i;
        switch (a.elem_type()) {
            case DTYPE_BYTE:
            case DTYPE_CHAR: typed<unsigned char>(a)[i] = static_cast<unsigned char>(integer_of(v, q, 0, 255)); break;
            case DTYPE_SHORT: typed<std::int16_t>(a)[i] = static_cast<std::int16_t>(integer_of(v, q, INT16_MIN, INT16_MAX)); break;
            case DTYPE_INT: typed<std::int32_t>(a)[i] = static_cast<std::int32_t>(integer_of(v, q, INT32_MIN, INT32_MAX)); break;
            case DTYPE_FLOAT: typed<float>(a)[i] = float_of(v, q); break;
            case DTYPE_DOUBLE: typed<double>(a)[i] = real_of(v, q); break;
            case DTYPE_LONG: typed<std::int64_t>(a)[i] = integer_of(v, q, INT64_MIN, INT64_MAX); break;
            default: p.fail("the array has a data type that cannot be given");
        }
    }
}

Json array_json(vhost::Object& a) {
    Json out = Json::array();
    if (!a.typed()) return out;
    auto n = static_cast<std::size_t>(a.length());
    out.get_ref<Json::array_t&>().reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (a.elem_type()) {
            case DTYPE_BYTE:
            case DTYPE_CHAR: out.push_back(typed<unsigned char>(a)[i]); break;
            case DTYPE_SHORT: out.push_back(typed<std::int16_t>(a)[i]); break;
            case DTYPE_INT: out.push_back(typed<std::int32_t>(a)[i]); break;
            case DTYPE_FLOAT: out.push_back(float_json(typed<float>(a)[i])); break;
            case DTYPE_DOUBLE: out.push_back(real_json(typed<double>(a)[i])); break;
            case DTYPE_LONG: out.push_back(typed<std::int64_t>(a)[i]); break;
            default: break;
        }
    }
    return out;
}

std::string suggestion(const std::string& name, const std::vector<std::string>& candidates) {
    // Edit distance, case-insensitive, a swap of two neighbours counting as
    // one edit ("flaot"); a near miss only, and never a name that shares
    // nothing with the one given ("y" is not a typo of "x").
    auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    auto distance = [&](const std::string& a, const std::string& b) {
        std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
        for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
        for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i)
            for (std::size_t j = 1; j <= b.size(); ++j) {
                std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
                if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        return d[a.size()][b.size()];
    };
    // Names in messages are short; a long one is not worth comparing.
    if (name.size() > 200) return "";
    std::size_t best = std::numeric_limits<std::size_t>::max();
    const std::string* pick = nullptr;
    for (const auto& c : candidates) {
        if (c.size() > 200) continue;
        std::size_t dist = distance(name, c);
        if (dist < best) {
            best = dist;
            pick = &c;
        }
    }
    std::size_t limit = std::max<std::size_t>(1, name.size() / 3);
    if (!pick || *pick == name || best > limit || best >= name.size()) return "";
    return " (did you mean " + in_quotes(*pick) + "?)";
}

std::vector<std::string> child_names(const vhost::Object& group) {
    std::vector<std::string> names;
    for (const auto& c : group.children()) names.push_back(c->name());
    return names;
}

std::string child_list(const vhost::Object& group) {
    std::string s = joined(child_names(group));
    return s.empty() ? "nothing" : s;
}

const Json* member(const Json& obj, const char* key) {
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

void only_keys(const Json& obj, const Place& p, const std::vector<std::string>& known, const std::string& what) {
    for (const auto& [k, v] : obj.items())
        if (std::find(known.begin(), known.end(), k) == known.end())
            (p / k).fail("unknown key " + in_quotes(k) + " in " + what + suggestion(k, known) + "; known keys: " + joined(known),
                         true);
}

std::string joined(const std::vector<std::string>& items) {
    std::string s;
    for (const auto& item : items) s += (s.empty() ? "" : ", ") + item;
    return s;
}

}  // namespace velmora
