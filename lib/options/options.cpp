#include "options/options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace velmora::options {

std::vector<double> numbers(std::string_view command, std::string_view name) {
    const Option& o = option(command, name);
    return {o.value.v.begin(), o.value.v.begin() + static_cast<std::ptrdiff_t>(o.value.n)};
}

std::vector<std::string> texts(const Option& o) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < o.text.size();) {
        const std::size_t end = std::min(o.text.find(' ', at), o.text.size());
        if (end > at) out.emplace_back(o.text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

std::vector<const Option*> of(std::string_view command) {
    std::vector<const Option*> out;
    for (const Option& o : kOptions)
        if (o.takes(command)) out.push_back(&o);
    return out;
}

std::string plain_number(double v) {
    char b[40];
    if (std::fabs(v) < 1e15 && v == std::floor(v))
        std::snprintf(b, sizeof b, "%.0f", v);
    else
        std::snprintf(b, sizeof b, "%g", v);
    return b;
}

std::string bounds(const Option& o) {
    const std::string units = o.units.empty() ? "" : " " + std::string(o.units);
    if (!o.bounded()) return std::string(o.type == Type::Integer ? "any whole number" : "any finite number") + units;
    return "from " + plain_number(o.min) + " to " + plain_number(o.max) + units;
}

std::string default_text(const Option& o) {
    if (!o.numeric()) return std::string(o.text);
    std::string out;
    for (std::size_t i = 0; i < o.value.n; ++i) out += (i ? "," : "") + plain_number(o.value.v[i]);
    return out;
}

std::string problem(const Option& o, double value) {
    if (!o.numeric()) return "";
    const bool whole = o.type != Type::Integer || value == std::floor(value);
    if (std::isfinite(value) && whole && value >= o.min && value <= o.max) return "";
    char b[40];
    std::snprintf(b, sizeof b, "%.15g", value);
    const std::string said = problem(o, std::string_view(b));
    // A number that rounds into the bounds when written is still said outside them.
    return said.empty() ? std::string(b) + " is not " + bounds(o) : said;
}

std::string problem(const Option& o, std::string_view text) {
    if (!o.numeric()) {
        if (o.choices.empty()) return "";
        for (std::size_t at = 0; at <= o.choices.size();) {
            const std::size_t end = std::min(o.choices.find('|', at), o.choices.size());
            if (o.choices.substr(at, end - at) == text) return "";
            at = end + 1;
        }
        return "\"" + std::string(text) + "\" is not one of " + std::string(o.choices);
    }
    const std::string s(text);
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    const bool integer = o.type == Type::Integer;
    const bool number = !s.empty() && *end == '\0' && std::isfinite(v);
    if (!number || (integer && v != std::floor(v))) {
        const std::string what = integer ? "a whole number" : "a finite number";
        const std::string range = o.bounded() ? " " + bounds(o) : o.units.empty() ? "" : " of " + std::string(o.units);
        return "not " + what + range + ": \"" + s + "\"";
    }
    if (v < o.min || v > o.max) return s + " is not " + bounds(o);
    return "";
}

namespace {

// A table cell: "|" escaped.
std::string cell(std::string text) {
    for (std::size_t at = text.find('|'); at != std::string::npos; at = text.find('|', at + 2)) text.replace(at, 1, "\\|");
    return text;
}

}  // namespace

std::string markdown(std::string_view command) {
    std::string out = "| Option | Default | Bounds | Meaning |\n|---|---|---|---|\n";
    for (const Option* o : of(command)) {
        const std::string value = default_text(*o);
        const std::string name = "`--" + std::string(o->name) + (o->metavar.empty() ? "" : " " + std::string(o->metavar)) + "`";
        out += "| " + cell(name) + " | " + (value.empty() ? "" : "`" + value + "`") + " | " +
               (o->numeric() ? bounds(*o) : "") + " | " + cell(std::string(o->help)) + " |\n";
    }
    return out;
}

}  // namespace velmora::options
