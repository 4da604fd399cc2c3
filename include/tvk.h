// Umbrella header: including it alone gives every public class.
#ifndef TVK_TVK_H
#define TVK_TVK_H

#include "platform/eExport.h"
#include "platform/eString.h"
#include "platform/eByteArray.h"
#include "platform/eGeometry.h"
#include "platform/eAssert.h"
#include "platform/eFile.h"
#include "platform/eThread.h"
#include "platform/eRegistry.h"
#include "platform/eMathEngine.h"
#include "base/eArray.h"
#include "base/eList.h"
#include "base/eHash.h"
#include "platform/eMarkup.h"
#include "platform/ePrjCoordSys.h"
#include "platform/eDirList.h"
#include "platform/eTask.h"
#include "platform/eHttpHelper.h"
#include "eCoordSys.h"
#include "eTileCoordSys.h"
#include "eTile.h"
#include "eTileStorage.h"
#include "eRasterCompact.h"
#include "eTileServerManager.h"

#endif
