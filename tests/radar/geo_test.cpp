// Grid positions on the map, and the origin a volume file carries.
#include "geo.h"

#include <gtest/gtest.h>
#include <netcdf.h>

#include <cmath>

#include "temp_files.h"
#include "volume.h"

namespace {

using velmora::app::GeoOrigin;

TEST(GeoTest, PositionsOnTheMapAgreeWithTheEllipsoid) {
    // On WGS 84 a degree of longitude along the equator is 111.3195 km (the
    // equatorial radius 6378.137 km times pi/180), a degree of latitude from
    // the equator 110.574 km; at the origin nothing moves.
    const double x[] = {0.0, 111.3195, 0.0, -111.3195};
    const double y[] = {0.0, 0.0, 110.574, 0.0};
    double lat[4], lon[4];
    velmora::app::geographic(GeoOrigin{0.0, 0.0}, x, y, lat, lon);
    const double want_lat[] = {0.0, 0.0, 1.0, 0.0}, want_lon[] = {0.0, 1.0, 0.0, -1.0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(lat[i], want_lat[i], 2e-5) << i;
        EXPECT_NEAR(lon[i], want_lon[i], 2e-5) << i;
    }
    // Longitudes come back within -180 to 180, whichever convention the origin uses.
    velmora::app::geographic(GeoOrigin{0.0, 359.5}, std::span(x + 1, 1), std::span(y + 1, 1), std::span(lat, 1),
                             std::span(lon, 1));
    EXPECT_NEAR(lon[0], 0.5, 2e-5);

    EXPECT_TRUE(velmora::app::checked_origin(-12.25, 131.04));
    for (auto [la, lo] : {std::pair{91.0, 0.0}, {0.0, -181.0}, {0.0, 361.0}, {NAN, 0.0}, {0.0, INFINITY}})
        EXPECT_FALSE(velmora::app::checked_origin(la, lo)) << la << " " << lo;
    EXPECT_THROW(velmora::app::geographic(GeoOrigin{}, std::span(x, 2), std::span(y, 1), std::span(lat, 2),
                                          std::span(lon, 2)),
                 std::invalid_argument);
}

TEST(GeoTest, AVolumeFileKeepsItsOriginWhenItIsAPosition) {
    vtest::TempDir dir;
    velmora::app::Volume v = velmora::app::synthetic_scene({.nx = 4, .ny = 3, .nz = 2});
    const std::string plain = dir.file("plain.nc"), placed = dir.file("placed.nc");
    velmora::app::write_netcdf(plain, v);
    EXPECT_FALSE(velmora::app::read_netcdf(plain, "DT").origin);
    v.origin = GeoOrigin{52.953, 4.790};
    velmora::app::write_netcdf(placed, v);
    const auto back = velmora::app::read_netcdf(placed, "DT").origin;
    ASSERT_TRUE(back);
    EXPECT_EQ(back->lat, 52.953);
    EXPECT_EQ(back->lon, 4.790);
    // A latitude that is no latitude: the volume reads, without an origin.
    int nc = -1, var = -1;
    ASSERT_EQ(nc_open(placed.c_str(), NC_WRITE, &nc), NC_NOERR);
    ASSERT_EQ(nc_inq_varid(nc, "origin_latitude", &var), NC_NOERR);
    const double wrong = 123.0;
    const size_t at[1] = {0};
    ASSERT_EQ(nc_put_var1_double(nc, var, at, &wrong), NC_NOERR);
    nc_close(nc);
    EXPECT_FALSE(velmora::app::read_netcdf(placed, "DT").origin);
}

}  // namespace
