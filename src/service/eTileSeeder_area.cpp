// Which tiles of a level a seeding area holds.
//
// A polygon holds a tile when the polygon's inside overlaps the tile's
// inside: tiles that only share an edge or a corner with it are left out.
// The test runs on each tile shrunk by a millionth of its side, so rounding
// never decides it. For a row of tiles, the columns the polygon reaches are
// those under the x-extent of (polygon within the row's band), and that
// extent is the union of (a) the x-extents of the boundary's pieces inside
// the band and (b) the polygon's inside along the band's middle line: a
// point of the polygon in the band either sees the middle line straight up
// or down without leaving the polygon, or crosses the boundary on the way.
// Holes are the polygon's own inner rings (even-odd within one polygon);
// separate polygons add up, so overlapping ones never cancel out.
#include <algorithm>
#include <cmath>
#include <limits>

#include "seed_area.h"

namespace TVK {
namespace seed {

namespace {

constexpr double kShrink = 1e-6;  // of a tile side

int64_t Clamp32(double value) {
    if (!(value > std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (!(value < std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return static_cast<int64_t>(value);
}

}  // namespace

eRowScan::eRowScan(const eTileCoordSys& scheme, const tagArea& area, int level) : m_area(area) {
    int rows = 0, cols = 0;
    scheme.ComputeTileCount(level, rows, cols);
    const bool grid = rows > 0 && cols > 0;
    m_row = 0;
    m_lastRow = grid ? rows - 1 : -1;
    m_firstCol = 0;
    m_lastCol = grid ? cols - 1 : -1;
    switch (area.Kind) {
        case tagArea::Whole: break;
        case tagArea::Box: {
            tagTileArea a;
            scheme.ComputeTileWorldRange(level, area.Rect, a);
            // Edges within the margin of a tile boundary count as on it, so
            // a box thinner than that comes back empty; it still lies in the
            // tile under its centre.
            if (a.StartCol > a.EndCol || a.StartRow > a.EndRow) {
                int row = 0, col = 0;
                scheme.ComputeTilePosition(level,
                                           ePoint2D((area.Rect.left + area.Rect.right) / 2,
                                                    (area.Rect.top + area.Rect.bottom) / 2),
                                           row, col);
                if (a.StartCol > a.EndCol) a.StartCol = a.EndCol = col;
                if (a.StartRow > a.EndRow) a.StartRow = a.EndRow = row;
            }
            if (grid) {
                m_row = std::max<int64_t>(a.StartRow, 0);
                m_lastRow = std::min<int64_t>(a.EndRow, rows - 1);
                m_firstCol = std::max<int64_t>(a.StartCol, 0);
                m_lastCol = std::min<int64_t>(a.EndCol, cols - 1);
            } else {
                m_row = a.StartRow;
                m_lastRow = a.EndRow;
                m_firstCol = a.StartCol;
                m_lastCol = a.EndCol;
            }
            break;
        }
        case tagArea::List: {
            const auto below = [](const eTileSeeder::tagTile& t, int l) { return t.Level < l; };
            m_listAt = static_cast<size_t>(
                std::lower_bound(area.Tiles.begin(), area.Tiles.end(), level, below) -
                area.Tiles.begin());
            m_listEnd = static_cast<size_t>(
                std::lower_bound(area.Tiles.begin(), area.Tiles.end(), level + 1, below) -
                area.Tiles.begin());
            break;
        }
        case tagArea::Polygons: {
            const eRect2D tile = scheme.ComputeTileWorldBounds(level, 0, 0);
            m_side = tile.Width();
            m_originX = tile.left;
            m_originY = tile.top;
            m_margin = m_side * kShrink;
            if (!(m_side > 0.0) || !std::isfinite(m_side)) {
                m_lastRow = -1;
                break;
            }
            double yMin = std::numeric_limits<double>::infinity(), yMax = -yMin;
            for (size_t s = 0; s < area.Shapes.size(); ++s) {
                for (const eTileSeeder::tagRing& ring : area.Shapes[s]) {
                    for (size_t i = 0; i < ring.size(); ++i) {
                        const ePoint2D& a = ring[i];
                        const ePoint2D& b = ring[(i + 1) % ring.size()];
                        if (!std::isfinite(a.x) || !std::isfinite(a.y)) continue;
                        if (!std::isfinite(b.x) || !std::isfinite(b.y)) continue;
                        m_edges.push_back(
                            {a.x, a.y, b.x, b.y, std::min(a.y, b.y), std::max(a.y, b.y), s});
                        yMin = std::min(yMin, a.y);
                        yMax = std::max(yMax, a.y);
                    }
                }
            }
            if (m_edges.empty()) {
                m_lastRow = -1;
                break;
            }
            std::sort(m_edges.begin(), m_edges.end(),
                      [](const tagEdge& a, const tagEdge& b) { return a.YMax > b.YMax; });
            const int64_t top = Clamp32(std::floor((m_originY - yMax) / m_side));
            const int64_t bottom = Clamp32(std::floor((m_originY - yMin) / m_side));
            m_row = grid ? std::max<int64_t>(top, 0) : top;
            m_lastRow = grid ? std::min<int64_t>(bottom, rows - 1) : bottom;
            if (!grid) {
                m_firstCol = std::numeric_limits<int32_t>::min();
                m_lastCol = std::numeric_limits<int32_t>::max();
            }
            break;
        }
    }
}

bool eRowScan::Next(int& row, std::vector<tagColumns>& columns) {
    columns.clear();
    switch (m_area.Kind) {
        case tagArea::Whole:
        case tagArea::Box:
            if (m_row > m_lastRow || m_firstCol > m_lastCol) return false;
            row = static_cast<int>(m_row++);
            columns.push_back({static_cast<int>(m_firstCol), static_cast<int>(m_lastCol)});
            return true;
        case tagArea::List: {
            if (m_listAt >= m_listEnd) return false;
            row = m_area.Tiles[m_listAt].Row;
            for (; m_listAt < m_listEnd && m_area.Tiles[m_listAt].Row == row; ++m_listAt) {
                const int col = m_area.Tiles[m_listAt].Col;
                if (!columns.empty() && columns.back().Last + 1 == col)
                    columns.back().Last = col;
                else
                    columns.push_back({col, col});
            }
            return true;
        }
        case tagArea::Polygons:
            while (m_row <= m_lastRow) {
                if (NextPolygonRow(row, columns)) return true;
            }
            return false;
    }
    return false;
}

bool eRowScan::NextPolygonRow(int& row, std::vector<tagColumns>& columns) {
    row = static_cast<int>(m_row);
    const double top = m_originY - static_cast<double>(m_row) * m_side;
    ++m_row;
    const double hi = top - m_margin, lo = top - m_side + m_margin, mid = (hi + lo) / 2;

    // Edges reaching down into the band join; edges wholly above it leave
    // for good, as the rows go down.
    while (m_nextEdge < m_edges.size() && m_edges[m_nextEdge].YMax >= lo)
        m_active.push_back(m_nextEdge++);
    m_active.erase(std::remove_if(m_active.begin(), m_active.end(),
                                  [&](size_t e) { return m_edges[e].YMin > hi; }),
                   m_active.end());

    m_spans.clear();
    m_crossings.clear();
    for (size_t e : m_active) {
        const tagEdge& edge = m_edges[e];
        double xa = edge.X0, xb = edge.X1;
        if (edge.Y0 != edge.Y1) {
            const double slope = (edge.X1 - edge.X0) / (edge.Y1 - edge.Y0);
            xa = edge.X0 + (std::max(edge.YMin, lo) - edge.Y0) * slope;
            xb = edge.X0 + (std::min(edge.YMax, hi) - edge.Y0) * slope;
            if ((edge.Y0 > mid) != (edge.Y1 > mid))
                m_crossings.emplace_back(edge.Shape, edge.X0 + (mid - edge.Y0) * slope);
        }
        m_spans.emplace_back(std::min(xa, xb), std::max(xa, xb));
    }
    // Inside along the middle line: between the 1st and 2nd crossing of a
    // polygon, the 3rd and 4th, and so on.
    std::sort(m_crossings.begin(), m_crossings.end());
    for (size_t i = 0; i + 1 < m_crossings.size(); ++i) {
        if (m_crossings[i].first != m_crossings[i + 1].first) continue;
        m_spans.emplace_back(m_crossings[i].second, m_crossings[i + 1].second);
        ++i;
    }
    ToColumns(m_spans, columns);
    return !columns.empty();
}

void eRowScan::ToColumns(std::vector<std::pair<double, double>>& spans,
                         std::vector<tagColumns>& columns) const {
    std::sort(spans.begin(), spans.end());
    for (const auto& span : spans) {
        // Column c, shrunk, is [ox + c T + m, ox + (c + 1) T - m].
        const double first = std::ceil((span.first - m_originX + m_margin) / m_side - 1.0);
        const double last = std::floor((span.second - m_originX - m_margin) / m_side);
        const int64_t a = std::max<int64_t>(Clamp32(first), m_firstCol);
        const int64_t b = std::min<int64_t>(Clamp32(last), m_lastCol);
        if (a > b) continue;
        if (!columns.empty() && a <= int64_t{columns.back().Last} + 1) {
            columns.back().Last = std::max(columns.back().Last, static_cast<int>(b));
        } else {
            columns.push_back({static_cast<int>(a), static_cast<int>(b)});
        }
    }
}

int64_t CountTiles(const eTileCoordSys& scheme, const tagArea& area, int level) {
    eRowScan scan(scheme, area, level);
    std::vector<tagColumns> columns;
    int row = 0;
    int64_t count = 0;
    while (scan.Next(row, columns))
        for (const tagColumns& c : columns) count += int64_t{c.Last} - c.First + 1;
    return count;
}

}  // namespace seed
}  // namespace TVK
