// The program's options, made from the table of lib/options: one adder for
// every option of every command, its help, default, bounds and check.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "options/options.h"

namespace velmora::cli {

// The check of o: the message names no option (CLI11 puts "--name: " before
// it) and gives the bounds with their units.
CLI::Validator checked(const options::Option& o);

// Adds --name of cmd's command (as the table has it) to cmd, bound to into,
// which takes the table's default; a text option with a default that is not
// into's type (none here) is a mistake of the caller the compiler says.
template <class T>
CLI::Option* add_option(CLI::App& cmd, std::string_view name, T& into) {
    const options::Option& o = options::option(cmd.get_name(), name);
    if (o.has_default()) {
        if constexpr (std::is_arithmetic_v<T>)
            into = static_cast<T>(o.value.v[0]);
        else if constexpr (std::is_same_v<T, std::vector<double>>)
            into = options::numbers(cmd.get_name(), name);
        else if constexpr (std::is_same_v<T, std::string>)
            into = std::string(o.text);
        else if constexpr (std::is_same_v<T, std::vector<std::string>>)
            into = options::texts(o);
    }
    CLI::Option* added = cmd.add_option("--" + std::string(name), into, std::string(o.help));
    added->type_name(std::string(o.metavar));
    if (o.has_default()) added->default_str(options::default_text(o));
    if (o.type == options::Type::Numbers) {
        added->delimiter(',');
        if (o.count > 0) added->expected(static_cast<int>(o.count));
    }
    if (o.numeric() || !o.choices.empty()) added->check(checked(o));
    return added;
}

// Adds the flag --name of cmd's command to cmd; setting is on unless a "no-"
// flag is given, off unless any other is. shorts: its short names ("-v").
CLI::Option* add_flag(CLI::App& cmd, std::string_view name, bool& setting, std::string_view shorts = {});

}  // namespace velmora::cli
