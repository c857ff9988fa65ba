// What a module declaration (host/modules/<Module>.cpp) needs: the tree, the
// field API and the ModuleDecl record. Each declaration file defines
// `ModuleDecl declare_<Module>()`; the build collects them into the registry.
#pragma once

#include "field_ref.h"
#include "host.h"
#include "include/om.h"
#include "tree.h"
