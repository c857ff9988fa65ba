// The table of a tracked series, tracks.csv: one line per cell per volume,
// the track's own columns (track, time, cell, centre, size, motion, parent,
// event, source) and then the cell's other properties as its volume's
// cell_properties.csv gives them. `velmora track` writes it whole; a watcher
// keeps each cell's fixed columns and makes the line again when the cell's
// links change.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/cell_properties.h"
#include "tracking/tracker.h"

namespace velmora {

// The columns of a cell that do not depend on its links: from time to
// max_dbz, and from source on.
struct CellText {
    std::string middle;   // time,cell,x_km,y_km,z_km,voxels,volume_km3,top_km,max_dbz
    std::string tail;     // source and the properties
};

class TrackTable {
public:
    // The property columns are those of the first volume with cells (every
    // volume of a series has the same ones) that the track's own do not hold.
    explicit TrackTable(const PropertyTable& first_with_cells);
    explicit TrackTable(std::vector<std::string> extra) : extra_(std::move(extra)) {}
    TrackTable() = default;

    // The header line, without its end.
    std::string header() const;
    // The property columns after the track's own.
    const std::vector<std::string>& extra() const { return extra_; }
    // The fixed columns of each cell of a frame, in cell order; timed: the
    // series' volumes have times (else the time is left empty).
    std::vector<CellText> texts(const tracking::Frame& f, const std::string& source, const PropertyTable& properties,
                                bool timed) const;
    // A cell's line, without its end.
    static std::string line(const tracking::Row& r, const CellText& t);

private:
    std::vector<std::string> extra_;
};

// volumes.csv: every volume of a series in time order, with the echo's
// motion into it. Its header line and a volume's line (the file's name, its
// time when it has one, its number of cells, its folder under volumes/),
// without their ends.
std::string volumes_header();
std::string volume_line(const std::string& volume, std::optional<double> time, std::size_t cells,
                        const std::string& folder, const tracking::EchoMotion& echo);

// A number as the tables print it; empty for NaN.
std::string table_number(double v, const char* format = "%.3f");

}  // namespace velmora
