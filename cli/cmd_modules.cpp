// velmora modules [MODULE]: the declared modules, or one module's
// parameters, inputs and outputs as an instance of it has them.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "commands.h"
#include "host.h"
#include "run/module_info.h"
#include "run/operations.h"
#include "run/values.h"

namespace velmora::cli {

using vhost::Kind;
using vhost::Object;

namespace {

void print_members(const Object& group, int depth) {
    for (const auto& c : group.children()) {
        std::string name = std::string(static_cast<std::size_t>(2 * depth), ' ') + c->name();
        std::string kind = kind_text(*c) + default_text(*c);
        std::printf("  %-24s %-28s %s\n", name.c_str(), kind.c_str(), role_text(c->role()));
        if (c->kind() == Kind::Group) print_members(*c, depth + 1);
        if (c->kind() == Kind::GroupArray && c->element_template() && c->element_template()->kind() == Kind::Group)
            print_members(*c->element_template(), depth + 1);
    }
}

int list_modules(const std::string& name) {
    register_operations();
    const auto decls = vhost::all_modules();
    if (name.empty()) {
        for (const vhost::ModuleDecl* d : decls) {
            std::printf("%-16s %s\n  %s\n", d->name.c_str(), d->summary.c_str(), joined(d->entries).c_str());
        }
        return 0;
    }
    const vhost::ModuleDecl* d = vhost::find_module(name);
    if (!d) {
        std::vector<std::string> known;
        for (const vhost::ModuleDecl* m : decls) known.push_back(m->name);
        std::fprintf(stderr, "velmora: error: unknown module %s%s; `velmora modules` lists them\n", in_quotes(name).c_str(),
                     suggestion(name, known).c_str());
        return 2;
    }
    vhost::Host& host = vhost::host();
    host.reset();
    Object& inst = host.add_instance(d->name, d->name);
    std::printf("%s: %s\n", d->name.c_str(), d->summary.c_str());
    for (std::size_t i = 0; i < d->entries.size(); ++i)
        std::printf("%s %s\n", i == 0 ? "update:     " : "also called:", d->entries[i].c_str());
    std::printf("declared on an instance (name, kind = default, role):\n");
    print_members(inst, 0);
    host.reset();
    return 0;
}

}  // namespace

void add_modules_command(CLI::App& app, int& status) {
    auto module = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand("modules", "List the modules, or show what one module declares on an instance");
    cmd->add_option("module", *module, "A module name: show its entry points, parameters, inputs and outputs")->type_name("MODULE");
    cmd->callback([module, &status] { status = list_modules(*module); });
}

}  // namespace velmora::cli
