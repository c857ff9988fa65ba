#include "table_options.h"

namespace velmora::cli {

CLI::Validator checked(const options::Option& o) {
    const options::Option* entry = &o;   // in the table, for the program's life
    std::string description;
    if (o.numeric()) description = options::bounds(o);
    return CLI::Validator([entry](std::string& text) { return options::problem(*entry, text); }, description);
}

}  // namespace velmora::cli
