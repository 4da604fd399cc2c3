// The container instantiations that the library exports. Their visibility
// comes from the extern template declarations in the headers, which GCC wants
// on the first declaration of the instantiation.
#include "base/eArray.h"
#include "base/eHash.h"
#include "base/eList.h"

namespace TVK {

template class eArray<unsigned char>;
template class eArray<eString>;
template class eHash<eString>;
template class eHash<void*>;

}  // namespace TVK
