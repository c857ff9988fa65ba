// The checks of the commands' numeric options: messages that give the
// bounds as a user writes them, and refuse what a plain range lets through
// (NaN compares false with both ends).
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "commands.h"

namespace velmora::cli {

std::string plain_number(double v) {
    char b[40];
    if (std::fabs(v) < 1e15 && v == std::floor(v))
        std::snprintf(b, sizeof b, "%.0f", v);
    else
        std::snprintf(b, sizeof b, "%g", v);
    return b;
}

CLI::Validator within(double lo, double hi, bool integer) {
    const std::string range = plain_number(lo) + " to " + plain_number(hi);
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            const bool number = !text.empty() && *end == '\0' && std::isfinite(v);
            if (!number || (integer && v != std::floor(v)))
                return "not " + std::string(integer ? "a whole number" : "a finite number") + " from " + range + ": \"" +
                       text + "\"";
            if (v < lo || v > hi) return text + " is not from " + range;
            return "";
        },
        (integer ? "INT in " : "NUMBER in ") + range);
}

}  // namespace velmora::cli
