// The tiles of a seeding area, one level at a time, row by row: each row
// comes as its runs of columns, so that an area of millions of tiles is
// walked without listing it.
#ifndef TVK_SERVICE_SEED_AREA_H
#define TVK_SERVICE_SEED_AREA_H

#include <cstdint>
#include <vector>

#include "eTileSeeder.h"

namespace TVK {
namespace seed {

struct tagArea {
    enum EmKind { Whole, Box, Polygons, List } Kind = Whole;
    eRect2D Rect;
    std::vector<eTileSeeder::tagPolygon> Shapes;
    std::vector<eTileSeeder::tagTile> Tiles;  // sorted by level, row, column; no repeats
};

struct tagColumns {
    int First = 0, Last = -1;  // inclusive
};

class eRowScan {
public:
    eRowScan(const eTileCoordSys& scheme, const tagArea& area, int level);
    // The next row holding tiles of the area, with its runs of columns in
    // ascending order, disjoint and not touching; false after the last row.
    bool Next(int& row, std::vector<tagColumns>& columns);

private:
    struct tagEdge {
        double X0, Y0, X1, Y1, YMin, YMax;
        size_t Shape;
    };
    bool NextPolygonRow(int& row, std::vector<tagColumns>& columns);
    void ToColumns(std::vector<std::pair<double, double>>& spans,
                   std::vector<tagColumns>& columns) const;

    const tagArea& m_area;
    int64_t m_row = 0, m_lastRow = -1;
    int64_t m_firstCol = 0, m_lastCol = -1;  // the grid's (or the box's) columns
    size_t m_listAt = 0, m_listEnd = 0;
    // Polygons: the level's grid and the edges sorted by YMax, highest first.
    double m_side = 0.0, m_originX = 0.0, m_originY = 0.0, m_margin = 0.0;
    std::vector<tagEdge> m_edges;
    size_t m_nextEdge = 0;
    std::vector<size_t> m_active;
    std::vector<std::pair<double, double>> m_spans;      // scratch
    std::vector<std::pair<size_t, double>> m_crossings;  // scratch
};

// Tiles of the area at one level.
int64_t CountTiles(const eTileCoordSys& scheme, const tagArea& area, int level);

}  // namespace seed
}  // namespace TVK

#endif
