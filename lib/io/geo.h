// Where the points of a radar grid lie on the earth. Gridded radar volumes
// are laid out on an azimuthal equidistant projection about their origin
// (the radar, or the centre of a composite): x east and y north of it in km.
// The projection is PROJ's, on the WGS 84 ellipsoid.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace velmora {

// The geographic position of a grid's origin, degrees north and east.
struct GeoOrigin {
    double lat = 0.0;
    double lon = 0.0;
};

// A position that can be an origin: finite, latitude within ±90 and
// longitude within -180 to 360 (either convention of archives).
std::optional<GeoOrigin> checked_origin(double lat, double lon);
// Why lat and lon cannot be an origin ("latitude 95 is not within -90 to 90
// degrees"), or "" when they can.
std::string position_problem(double lat, double lon);

// Latitudes and longitudes (degrees, longitudes from -180 to 180) of the
// points x_km east and y_km north of origin. All spans have the same size;
// std::invalid_argument otherwise, std::runtime_error when PROJ cannot set up
// the projection.
void geographic(const GeoOrigin& origin, std::span<const double> x_km, std::span<const double> y_km,
                std::span<double> lat, std::span<double> lon);
// The inverse: x_km east and y_km north of origin of the given positions
// (NaN for a position the projection cannot take). The same errors.
void projected(const GeoOrigin& origin, std::span<const double> lat, std::span<const double> lon,
               std::span<double> x_km, std::span<double> y_km);

}  // namespace velmora
