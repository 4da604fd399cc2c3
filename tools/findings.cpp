// Texts of check findings. V1 pairs speak of slots and a data file, V2
// bundles of entries and the file.
#include "findings.h"

#include "cli.h"

namespace TVK {
namespace cli {

namespace {

std::string Num(int64_t value) { return std::to_string(value); }

}  // namespace

std::string DescribeFinding(const eOpenCache& cache, const tagCacheFinding& f) {
    const bool v2 = cache.Layout == eLayout::CompactV2;
    const std::string file = v2 ? "the file" : "the data file";
    const std::string where = std::string(v2 ? "entry " : "slot ") + Num(f.Slot) + " (row " +
                              Num(f.Row) + ", column " + Num(f.Col) + ")";
    const std::string pastEnd = ", past the end of " + file + " (" + Num(f.FileSize) + " bytes)";
    switch (f.Kind) {
        case eCacheCheck::None: break;
        case eCacheCheck::FolderUnreadable: return "folder cannot be read";
        case eCacheCheck::FileUnreadable: return "cannot be opened or read";
        case eCacheCheck::IndexTooShort:
            return "index file is " + Num(f.FileSize) + " bytes, shorter than the " +
                   Num(f.Expected) + " of 16,384 slots";
        case eCacheCheck::IndexSizeUnusual:
            return "index file is " + Num(f.FileSize) + " bytes, expected 81936 or 81952";
        case eCacheCheck::IndexWithoutData: return "index without its .bundle data file";
        case eCacheCheck::DataWithoutIndex: return "data file without its .bundlx index";
        case eCacheCheck::DataTooShort:
            return "data file is " + Num(f.FileSize) +
                   " bytes, shorter than the ArcGIS header of " + Num(f.Expected);
        case eCacheCheck::BundleTooShort:
            return "file is " + Num(f.FileSize) + " bytes, shorter than the " + Num(f.Expected) +
                   " of its header and 16,384 entries";
        case eCacheCheck::NotABundleHeader:
            return "header is not a V2 bundle's (version 3, 5 offset bytes)";
        case eCacheCheck::HeaderSizeTooLarge:
            return "file is " + Num(f.FileSize) + " bytes, but its header says " + Num(f.Expected) +
                   ": cut short";
        case eCacheCheck::RecordBeyond2GiB:
            return where + " holds offset " + Num(f.Offset) + ", beyond 2 GiB";
        case eCacheCheck::RecordOutsideFile:
            return where + " points at offset " + Num(f.Offset) + pastEnd;
        case eCacheCheck::RecordRunsPastEnd:
            return where + " has a record of " + Num(f.Size) + " bytes at offset " + Num(f.Offset) +
                   " running past the end of " + file + " (" + Num(f.FileSize) + " bytes)";
        case eCacheCheck::RecordNegativeLength:
            return where + " has a record with a negative length at offset " + Num(f.Offset);
        case eCacheCheck::RecordInsideIndex:
            return where + " points at offset " + Num(f.Offset) + ", inside the header and entries";
        case eCacheCheck::RecordSizeMismatch:
            return where + " has " + Num(f.Size) + " bytes at offset " + Num(f.Offset) +
                   " but the record's size field says " + Num(f.Expected);
        case eCacheCheck::EmptyTileFile: return "empty tile file";
        case eCacheCheck::TemporaryFile: return "left over from an interrupted save";
        case eCacheCheck::DeadSpace: return Num(f.Size) + " bytes dead space";
        case eCacheCheck::HeaderSizeSmall:
            return "header says " + Num(f.Expected) + " bytes, the file is " + Num(f.FileSize);
        case eCacheCheck::HeaderMaxTileSmall:
            return "header's largest tile size is below the " + Num(f.Size) + " bytes stored";
        case eCacheCheck::HeaderFieldUnusual:
            return "header field at byte " + Num(f.Offset) + " holds " + Num(f.Size) + " where " +
                   Num(f.Expected) + " is usual; readers do not need it";
        case eCacheCheck::ForeignFile: return "not a bundle file";
        case eCacheCheck::ForeignLevelFolder:
            return IsBundled(cache.Layout) ? "not a level folder of a compact cache"
                                           : "not the folder of a level of the cache";
        case eCacheCheck::ForeignRowFolder:
            return "not a row folder (R and eight lower-case hex digits)";
        case eCacheCheck::UnreachableName:
            return IsBundled(cache.Layout)
                       ? "name is not one the cache uses; its tiles are unreachable"
                       : "name is not one the cache uses; the tile is unreachable";
        case eCacheCheck::DuplicateTile:
            return "the tile is also stored as .jpg, which is the one read";
        case eCacheCheck::DatabaseDamaged: return "damaged database: " + f.Detail.Std();
        case eCacheCheck::TileDataMissing: return Num(f.Size) + " tiles have no data";
        case eCacheCheck::DuplicateAddress:
            return Num(f.Size) + " addresses hold more than one tile; only one of each is read";
        case eCacheCheck::ImageMissing:
            return Num(f.Size) + " addresses point at images that are missing";
        case eCacheCheck::TilesNeverRead:
            return Num(f.Size) + " tiles at zoom level " + Num(f.Expected) +
                   " are never read (no level of the tiling scheme, or outside its matrix)";
        case eCacheCheck::FormatUnusual: return f.Detail.Std();
    }
    return "unknown finding " + Num(f.Kind);
}

int ListingResult(const eOpenCache& cache, const eTileListing& listing) {
    const tagCacheFinding& error = listing.GetError();
    if (error.Kind == eCacheCheck::None) return kExitOk;
    return Fail(kExitFailed, error.Path.Std(), DescribeFinding(cache, error));
}

}  // namespace cli
}  // namespace TVK
