#include "table_options.h"

#include <stdexcept>

namespace velmora::cli {

CLI::Validator checked(const options::Option& o) {
    const options::Option* entry = &o;   // in the table, for the program's life
    std::string description;
    if (o.numeric()) description = options::bounds(o);
    return CLI::Validator([entry](std::string& text) { return options::problem(*entry, text); }, description);
}

CLI::Option* add_flag(CLI::App& cmd, std::string_view name, bool& setting, std::string_view shorts) {
    const options::Option& o = options::option(cmd.get_name(), name);
    if (o.type != options::Type::Flag) throw std::logic_error("--" + std::string(name) + " is not a flag");
    const std::string names = (shorts.empty() ? "" : std::string(shorts) + ",") + "--" + std::string(name);
    setting = o.negated();
    if (!o.negated()) return cmd.add_flag(names, setting, std::string(o.help));
    bool* off = &setting;   // outlives the parse: the command's options hold it
    return cmd.add_flag_callback(names, [off] { *off = false; }, std::string(o.help));
}

}  // namespace velmora::cli
