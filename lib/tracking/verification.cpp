#include "tracking/verification.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "io/table.h"

namespace velmora::tracking {

Contingency& Contingency::operator+=(const Contingency& o) {
    hits += o.hits;
    misses += o.misses;
    false_alarms += o.false_alarms;
    return *this;
}

namespace {

double ratio(std::int64_t a, std::int64_t b) { return b > 0 ? double(a) / double(b) : NAN; }

}  // namespace

double pod(const Contingency& c) { return ratio(c.hits, c.hits + c.misses); }
double far(const Contingency& c) { return ratio(c.false_alarms, c.hits + c.false_alarms); }
double csi(const Contingency& c) { return ratio(c.hits, c.hits + c.misses + c.false_alarms); }

Contingency compare(std::span<const std::int32_t> forecast, std::span<const std::int32_t> observed) {
    Contingency c;
    auto f = forecast.begin();
    auto o = observed.begin();
    while (f != forecast.end() || o != observed.end()) {
        if (o == observed.end() || (f != forecast.end() && *f < *o)) ++c.false_alarms, ++f;
        else if (f == forecast.end() || *o < *f) ++c.misses, ++o;
        else ++c.hits, ++f, ++o;
    }
    return c;
}

Scores& Scores::operator+=(const Scores& o) {
    volumes += o.volumes;
    columns += o.columns;
    centre_error_km += o.centre_error_km;
    centres += o.centres;
    return *this;
}

double Scores::mean_centre_error() const { return centres > 0 ? centre_error_km / double(centres) : NAN; }

std::vector<std::int32_t> union_of(const std::vector<std::vector<std::int32_t>>& sets) {
    std::vector<std::int32_t> all;
    for (const auto& s : sets) all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

long verifying_frame(std::span<const TrackedFrame> series, std::size_t f, double lead, double tolerance) {
    const double valid = series[f].frame.time + lead;
    long best = -1;
    double off = tolerance;
    for (std::size_t v = f + 1; v < series.size(); ++v) {
        const double d = std::abs(series[v].frame.time - valid);
        if (d <= off) best = static_cast<long>(v), off = d;
        if (series[v].frame.time > valid + tolerance) break;
    }
    return best;
}

Scores verify_pair(std::span<const TrackedFrame> series, std::size_t f, std::size_t v, Method m, const Plane& plane,
                   const TrendSettings& s) {
    const TrackedFrame& from = series[f];
    const TrackedFrame& at = series[v];
    const double lead = at.frame.time - from.frame.time;
    const std::vector<Trend> trends = trends_of(series, f, m, plane, s);
    std::vector<std::vector<std::int32_t>> forecast, observed;
    Scores sc;
    sc.volumes = 1;
    for (std::size_t k = 0; k < trends.size(); ++k) {
        const Cell& c = from.frame.cells[from.rows[k].cell];
        const Outlook o = outlook(trends[k], lead);
        forecast.push_back(footprint(c.columns, c.x, c.y, o, plane));
        // The centre of the track's cell then, if it has one.
        for (const Row& r : at.rows)
            if (r.track == from.rows[k].track) {
                const Cell& then = at.frame.cells[r.cell];
                sc.centre_error_km += std::hypot(o.x - then.x, o.y - then.y);
                ++sc.centres;
            }
    }
    for (const Cell& c : at.frame.cells) observed.push_back(c.columns);
    sc.columns = compare(union_of(forecast), union_of(observed));
    return sc;
}

std::vector<VerificationRow> verify_series(std::span<const TrackedFrame> series, std::span<const double> leads,
                                           const Plane& plane, const TrendSettings& s, double tolerance) {
    std::vector<VerificationRow> rows;
    for (const double lead : leads)
        for (const Method m : kMethods) {
            VerificationRow row{lead, m, {}};
            for (std::size_t f = 0; f < series.size(); ++f) {
                const long v = verifying_frame(series, f, lead, tolerance);
                if (v >= 0) row.scores += verify_pair(series, f, static_cast<std::size_t>(v), m, plane, s);
            }
            rows.push_back(row);
        }
    return rows;
}

namespace {

std::string number(double v, const char* format) {
    if (!std::isfinite(v)) return "";
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

}  // namespace

std::string verification_csv(std::span<const VerificationRow> rows) {
    Table out{"verify.csv",
              {"lead_min", "method", "volumes", "hits", "misses", "false_alarms", "pod", "far", "csi", "centre_error_km",
               "centres"},
              {}};
    for (const VerificationRow& r : rows) {
        const Scores& s = r.scores;
        out.rows.push_back({number(r.lead / 60.0, "%g"), method_name(r.method), std::to_string(s.volumes),
                            std::to_string(s.columns.hits), std::to_string(s.columns.misses),
                            std::to_string(s.columns.false_alarms), number(pod(s.columns), "%.4f"),
                            number(far(s.columns), "%.4f"), number(csi(s.columns), "%.4f"),
                            number(s.mean_centre_error(), "%.3f"), std::to_string(s.centres)});
    }
    return table_text(out);
}

}  // namespace velmora::tracking
