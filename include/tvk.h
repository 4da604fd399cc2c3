// Umbrella header: including it alone gives every public class.
#ifndef TVK_TVK_H
#define TVK_TVK_H

#include "base/eArray.h"
#include "base/eHash.h"
#include "base/eList.h"
#include "eCacheCheck.h"
#include "eCoordSys.h"
#include "eRasterCompact.h"
#include "eTile.h"
#include "eTileCoordSys.h"
#include "eTileListing.h"
#include "eTileSeeder.h"
#include "eTileServerManager.h"
#include "eTileStorage.h"
#include "platform/eAssert.h"
#include "platform/eByteArray.h"
#include "platform/eDirList.h"
#include "platform/eExport.h"
#include "platform/eFile.h"
#include "platform/eGeometry.h"
#include "platform/eHttpHelper.h"
#include "platform/eMarkup.h"
#include "platform/eMathEngine.h"
#include "platform/ePrjCoordSys.h"
#include "platform/eRegistry.h"
#include "platform/eString.h"
#include "platform/eTask.h"
#include "platform/eThread.h"
#include "platform/eThreadAnnotations.h"

#endif
