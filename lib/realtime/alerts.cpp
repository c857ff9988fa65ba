#include "realtime/alerts.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <stdexcept>

#include "options/options.h"

namespace velmora::realtime {

std::vector<AlertRule> default_alerts() {
    std::vector<AlertRule> out;
    for (const std::string& text : options::texts(options::option("watch", "alert"))) out.push_back(alert_rule(text));
    return out;
}

AlertRule alert_rule(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0) throw std::invalid_argument("an alert is PROPERTY=THRESHOLD, e.g. mesh_mm=25");
    AlertRule r{text.substr(0, eq), 0};
    char* end = nullptr;
    const std::string value = text.substr(eq + 1);
    r.threshold = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(r.threshold))
        throw std::invalid_argument("the alert's threshold \"" + value + "\" is not a number");
    std::set<std::string> names;
    PropertyTable all;
    all.hail = true;   // every column a table can have
    for (const PropertyColumn& c : property_columns(all)) names.insert(c.name);
    if (!names.count(r.property)) {
        std::string known;
        for (const auto& n : names) known += (known.empty() ? "" : ", ") + n;
        throw std::invalid_argument("no cell property \"" + r.property + "\" to alert on (" + known + ")");
    }
    return r;
}

std::vector<Alert> crossings(const tracking::TrackedFrame& t, const PropertyTable& properties,
                             std::span<const AlertRule> rules) {
    std::map<std::string, std::vector<double>> columns;
    for (PropertyColumn& c : property_columns(properties)) columns[c.name] = std::move(c.values);
    std::vector<Alert> out;
    std::set<std::pair<int, std::string>> said;
    for (const tracking::Row& row : t.rows) {
        const int no = t.frame.cells[row.cell].no;
        const auto at = std::find_if(properties.cells.begin(), properties.cells.end(),
                                     [&](const CellProperties& p) { return p.cell == no; });
        if (at == properties.cells.end()) continue;
        const auto index = static_cast<std::size_t>(at - properties.cells.begin());
        for (const AlertRule& rule : rules) {
            const auto col = columns.find(rule.property);
            if (col == columns.end() || index >= col->second.size()) continue;
            const double v = col->second[index];
            if (!(v >= rule.threshold) || !said.insert({row.track, rule.property}).second) continue;
            out.push_back({row.track, no, rule.property, rule.threshold, v});
        }
    }
    return out;
}

}  // namespace velmora::realtime
