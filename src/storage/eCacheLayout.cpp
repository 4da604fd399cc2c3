// The one place where a storage's settings choose its layout.
#include "storage/eCacheLayout.h"

#include "eTileStorage.h"
#include "platform/eAssert.h"

namespace TVK {

namespace {

const char kSource[] = "eTileStorage";

// A format value no layout has: every tile call reports it and fails, and
// there is nothing to list or check.
class eUnknownLayout final : public eCacheLayout {
public:
    using eCacheLayout::eCacheLayout;

    unsigned char IsTileExist(int, int, int) override { return Refuse(); }
    unsigned char LoadTile(int, int, int, eByteArray&) override { return Refuse(); }
    unsigned char SaveTile(int, int, int, const unsigned char*, unsigned int) override {
        return Refuse();
    }
    unsigned char RemoveTile(int, int, int) override { return Refuse(); }
    std::unique_ptr<eTileSource> ListTiles(int, int) const override { return nullptr; }
    std::unique_ptr<eFindingSource> CheckFiles(int) const override { return nullptr; }

private:
    static unsigned char Refuse() {
        Eassert("false", kSource, __LINE__);
        return 0;
    }
};

}  // namespace

std::unique_ptr<eCacheLayout> MakeCacheLayout(const eTileStorage& storage) {
    switch (storage.GetCacheFormat()) {
        case eTileStorage::Original:
            return storage.GetTileNaming() == eTileStorage::ArcGIS ? MakeExplodedLayout(storage)
                                                                   : MakeNativeLayout(storage);
        case eTileStorage::Compact: return MakeCompactV1Layout(storage);
        case eTileStorage::CompactV2: return MakeCompactV2Layout(storage);
        case eTileStorage::MBTiles: return MakeTileFileLayout(storage, false);
        case eTileStorage::GeoPackage: return MakeTileFileLayout(storage, true);
        case eTileStorage::PMTiles: break;
    }
    return std::make_unique<eUnknownLayout>(storage);
}

}  // namespace TVK
