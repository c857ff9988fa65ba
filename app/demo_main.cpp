// A first look at velmora: a ThreshMin instance on a small reflectivity
// column, run on the substitute host, and what it wrote.
#include <cstdio>

#include "fields.h"
#include "host.h"

int main() {
    vhost::Host& host = vhost::host();
    vhost::Object& grid = host.add_field("column");
    vhost::FieldRef(grid).nnodes(6).floats("ze", {4.5f, 12.0f, 18.5f, 27.0f, 33.5f, 41.0f}, 1, "dBZ");
    vhost::Object& thresh = host.add_instance("thresh", "ThreshMin");
    host.link("thresh.in", "column");
    thresh.at("thresh_value").set_real(15.0);
    thresh.at("null_value").set_real(-9999.0);
    host.call(thresh);

    vhost::FieldRef out(thresh.at("out_nd"));
    std::printf("ThreshMin on a reflectivity column, thresh_value 15 dBZ, null_value -9999\n");
    std::printf("done = %lld, null flag %d, null value %g\n", static_cast<long long>(thresh.at("done").int_value()),
                out.null_flag(0) ? 1 : 0, out.null_value(0));
    auto in = vhost::FieldRef(grid).float_values(0);
    auto res = out.float_values(0);
    for (std::size_t k = 0; k < res.size(); ++k) std::printf("  node %zu: %7.1f -> %7.1f\n", k, in[k], res[k]);
    return host.outstanding_arrays() == 0 ? 0 : 1;
}
