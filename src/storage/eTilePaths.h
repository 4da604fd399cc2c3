// Names of tile files and folders below a cache's "_alllayers" folder, built
// into one buffer without a string per piece, and read back by listings.
//
// This system's own names (Native):
//   _alllayers/<scale-name>/R<row-group>C<col-group>/<row>x<col>.<ext>
// with the groups floor(n / TileGroupSize) written at least four wide, '0'
// filled in front of any sign ("0002", "00-1", "12345"). ArcGIS's exploded
// names:
//   _alllayers/L<level>/R<row, 8 hex>/C<col, 8 hex>.<jpg|png>
// with the level's own number (LevelID) in at least two digits, as the
// bundle folders of compact caches are named too.
//
// Private to the library.
#ifndef TVK_STORAGE_ETILEPATHS_H
#define TVK_STORAGE_ETILEPATHS_H

#include <string>

#include "eTileCoordSys.h"
#include "eTileStorage.h"
#include "platform/eString.h"

namespace TVK {
namespace tilepath {

constexpr char kAllLayers[] = "_alllayers";

// Extension of a file type, without building a string.
const char* ExtText(eFileType::EmType type);

void AppendInt(std::string& out, long long value);
int FloorGroup(int n, int groupSize);
// The root as eFile::GetAbsolutePath joins it: one '/' after it; an empty
// root leaves what follows relative to the working folder.
void AppendRoot(std::string& out, const std::string& root);

// "_alllayers/<scale-name>"; throws std::out_of_range for a level outside
// the list (a negative level converts to a huge index, so it is outside too).
void AppendNativeLevel(std::string& out, const eTileCoordSys& scheme, int level);
// "R0002C0008" for groups 2 and 8.
void AppendGroupName(std::string& out, int rowGroup, int colGroup);
// The whole relative path without extension.
void AppendNativePath(std::string& out, const eTileCoordSys& scheme, int groupSize, int level,
                      int row, int col);

// "L05" for 5, "L100" for 100.
void AppendLevelName(std::string& out, int levelNumber);
// The level's own number (LevelID), or -1 for a level outside the list.
int LevelNumber(const eTileCoordSys& scheme, int level);
// ArcGIS's relative path without extension; false for a tile without a name
// (negative level number, row or column). Throws std::out_of_range for a
// level outside the list.
bool AppendArcGISPath(std::string& out, const eTileCoordSys& scheme, int level, int row, int col);

// File kind of an ArcGIS-named tile, from the ArcGIS tile format text (any
// letter case), or from the tile type when there is none.
enum class EmArcGISKind { Jpg, Png, Mixed };
EmArcGISKind ArcGISKindOf(const eString& format, eFileType::EmType type);
// Both extensions have three letters: the other kind's name of a MIXED tile
// is the same path with its end replaced.
constexpr size_t kArcGISExtLength = 3;
bool IsJpegBytes(const unsigned char* data, unsigned int size);
eString OtherKindPath(const eString& path);

// Exactly `prefix` and eight lower-case hexadecimal digits up to 7fffffff,
// as AppendArcGISPath writes them ("R0000012c").
bool ParseHex8Name(const std::string& text, char prefix, int& value);
// A signed decimal number making up all of text, written without '+', a
// leading zero or "-0", as AppendInt writes it.
bool ParseDecimal(const std::string& text, int& value);
// "R<row-group>C<col-group>" exactly as AppendGroupName writes it.
bool ParseGroupName(const std::string& text, int& rowGroup, int& colGroup);
// "L<number>" exactly as AppendLevelName writes it.
bool ParseLevelName(const std::string& text, int& levelNumber);

}  // namespace tilepath
}  // namespace TVK

#endif
