// velmora analyze --report: report.html, one file that opens from disk with
// no server and no network: the page of velmora view with its scripts, the
// scene of the volume (a deflated pack), the plan view and the cells table.
#pragma once

#include <cstdio>
#include <string>

#include "analysis/analyze.h"

namespace velmora::cli {

// Writes OUT/report.html for the analysis of o (run before, its results in
// o.out), the page's files taken from viewer; false, said on err, when it
// cannot.
bool write_report(const AnalyzeOptions& o, const std::string& viewer, std::FILE* err);

// What a report page is made of: bytes as base64, deflated (zlib), a script
// that no "</" inside ends early.
std::string base64(const std::string& in);
std::string deflated(const std::string& in);
std::string inline_script(std::string js);

}  // namespace velmora::cli
