// eTileCoordSys: the tiling scheme of a tile cache. A map coordinate system
// plus the tile grid (origin, tile size) and the list of zoom levels, each
// given by its scale (a representative fraction in (0, 1)).
//
// The grid: tile (row r, column c) of level z covers x from ox + c*T to
// ox + (c+1)*T and y from oy - (r+1)*T to oy - r*T, where (ox, oy) is
// TileOrigin (the top-left corner of tile 0/0) and T the tile side in map
// units at that level. Rows grow downward, columns rightward; nothing is
// clamped, so points left of or above the origin give negative indices.
//
// Scale of a level z with n entries: L[z] for z < n; for z >= n the last
// scale doubled once per level past the end, L[n-1] * 2^d with
// d = min(z - n + 1, 30). A negative level or an empty list is reported
// through Eassert and gives the scale 0.0: tile sizes become infinite,
// counts 0, ranges empty and bounds an empty rectangle.
#ifndef TVK_ETILECOORDSYS_H
#define TVK_ETILECOORDSYS_H

#include <cstdint>
#include <vector>

#include "eCoordSys.h"
#include "platform/eExport.h"
#include "platform/eGeometry.h"

namespace TVK {

struct tagLevelCaption {
    double Scale = 0.0;  // representative fraction of the level
    int32_t Level = 0;   // render level the zoom level is drawn at
};

// Inclusive tile range; an empty range has End < Start.
struct tagTileArea {
    int32_t StartRow = 0;
    int32_t EndRow = 0;
    int32_t StartCol = 0;
    int32_t EndCol = 0;
};

class TVK_API eTileCoordSys : public eCoordSys {
public:
    eTileCoordSys();
    ~eTileCoordSys() override;
    // Recomputes UnitsRatio from the coordinate system instead of copying it
    // (assignment copies it). Takes a const reference so that const schemes
    // can be copied as well.
    eTileCoordSys(const eTileCoordSys& other);
    eTileCoordSys& operator=(const eTileCoordSys& other);

    int Resolution2Zoom(double resolution) const override;
    // Pixel width of the world at the level, rounded half away from zero.
    double Zoom2Resolution(int level) const override;

    void SetTileOrigin(const ePoint2D& origin) { TileOrigin = origin; }
    ePoint2D GetTileOrigin() const { return TileOrigin; }
    void SetTileSize(int size) { TileSize = size; }
    int GetTileSize() const { return TileSize; }
    void SetDataTileSize(int size) { DataTileSize = size; }
    int GetDataTileSize() const { return DataTileSize; }
    void SetLevelZoomMode(unsigned char mode) { LevelZoomMode = mode != 0; }
    unsigned char GetLevelZoomMode() const { return LevelZoomMode ? 1 : 0; }
    void SetTileTopLevel(int level) { TileTopLevel = level; }
    int GetTileTopLevel() const { return TileTopLevel; }
    void SetTileBottomLevel(int level) { TileBottomLevel = level; }
    int GetTileBottomLevel() const { return TileBottomLevel; }

    // Replaces the list (no validation); TileBottomLevel = count - 1.
    void SetLevelCaptions(const std::vector<tagLevelCaption>& captions);
    std::vector<tagLevelCaption>& GetLevelCaptions() { return LevelCaptions; }
    const std::vector<tagLevelCaption>& GetLevelCaptions() const { return LevelCaptions; }

    // Appends {v, index} for each value until the first one outside (0, 1);
    // at such a value it stops and TileBottomLevel keeps its old value.
    void SetScales(const std::vector<double>& scales);
    std::vector<double> GetScales() const;

    // Scale of a level (see the rule at the top of this header).
    double GetScale(int level) const;
    // Level of a scale: between two levels the coarser one; below the first
    // 0; above the last n - 1; -1 for an empty list.
    int GetZoom(double scale) const;
    // The list scale above (direction > 0) or below a scale.
    double GetFixedScale(double scale, double direction) const;
    // Snap onto the list: between two levels the lower one.
    double Round2NearestScale(double scale) const;
    double Round2NearestVisibleScale(double scale) const;
    // Rounded denominator; 1 (after Eassert) outside (0, 1); saturates at
    // 2147483647 for scales too small to name in 31 bits.
    unsigned int Scale2ScaleName(double scale) const;
    // 1 / name; 0.0 for name 0.
    double ScaleName2Scale(unsigned int name) const;
    int ZoomLevelToRenderLevel(int level) const;

    // Tile geometry. Logic forms take/give logical coordinates; World forms,
    // ComputeTilePosition and ComputeTileCount work in map coordinates.
    // A range's edge on a tile boundary (or within the margin of it: 1e-13
    // of a tile for Logic, 1/1024 of a tile for World) belongs to the tile
    // inside the rectangle.
    void ComputeTileLogicRange(int level, const eRect2D& rect, tagTileArea& area) const;
    void ComputeTileWorldRange(int level, const eRect2D& rect, tagTileArea& area) const;
    eRect2D ComputeTileLogicBounds(int level, int row, int col) const;
    eRect2D ComputeTileWorldBounds(int level, int row, int col) const;
    // A point on a tile boundary belongs to the tile right of and below it.
    void ComputeTilePosition(int level, const ePoint2D& point, int& row, int& col) const;
    // Rows and columns from the origin to IndexBounds' bottom and right edges,
    // rounded half away from zero.
    void ComputeTileCount(int level, int& rows, int& cols) const;

    // Scale at which a tile of tileSize pixels at dotsPerMM spans
    // tileMapSize map units of prj.
    static double ComputeMapScale(const ePrjCoordSys& prj, double tileMapSize, int tileSize,
                                  double dotsPerMM);
    // s0, 2*s0, 4*s0, ... (at most levelCount entries; s0 always, later
    // entries only while below 1.0).
    static std::vector<double> ComputeMapScale(const ePrjCoordSys& prj, double tileMapSize,
                                               int tileSize, int levelCount, double dotsPerMM);
    // Pixels spanned by mapLength at scale shown at dotsPerMM; only the
    // product of the three arguments counts.
    static double ComputeMapResolution(const ePrjCoordSys& prj, double scale, double dotsPerMM,
                                       double mapLength);
    // Scale of a map resolution (map units per pixel) with this DPI and
    // UnitsRatio.
    double CalculateScale(double resolution) const;
    // Map resolution of a scale for a fixed 0.2645838625 mm pixel (and
    // 111194.872221777 m per degree for geographic systems).
    double CalculateResolution(double scale) const;

    int32_t TileSize;
    ePoint2D TileOrigin;
    std::vector<tagLevelCaption> LevelCaptions;
    int32_t DataTileSize;
    bool LevelZoomMode;  // stored and persisted only
    int32_t TileTopLevel;
    int32_t TileBottomLevel;

protected:
    // (T, T): the side of a tile in map units at scale.
    eSize2D ComputeTileMPSize(double scale) const;
};

}  // namespace TVK

#endif
