// eTile's special members live here so the exported class has one home for
// its copy and destruction code (the byte array is copied by value).
#include "eTile.h"

namespace TVK {

eTile::eTile() = default;
eTile::eTile(const eTile& other) = default;
eTile& eTile::operator=(const eTile& other) = default;
eTile::~eTile() = default;

}  // namespace TVK
