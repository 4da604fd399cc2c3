// The words for what eCacheCheck and eTileListing report, as `tvk verify`,
// `ls`, `copy` and `coverage` print them.
#ifndef TVK_TOOLS_FINDINGS_H
#define TVK_TOOLS_FINDINGS_H

#include <string>

#include "cache_open.h"

namespace TVK {
namespace cli {

// What is wrong at finding.Path, in a few words ("empty tile file").
std::string DescribeFinding(const eOpenCache& cache, const tagCacheFinding& finding);
// Whether `tvk verify` names a finding by itself: dead space is only summed.
inline bool IsListedFinding(const tagCacheFinding& finding) {
    return finding.Kind != eCacheCheck::DeadSpace;
}
// After a listing's last Next: kExitOk when it ended, else kExitFailed after
// printing the bundle it stopped at and why.
int ListingResult(const eOpenCache& cache, const eTileListing& listing);

}  // namespace cli
}  // namespace TVK

#endif
