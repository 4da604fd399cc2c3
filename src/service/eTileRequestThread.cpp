// A worker of the request service: one HTTP handle per thread, handed to the
// tasks it runs, so tasks on different workers never share a handle.
#include "eTileServerManager.h"

#include "platform/eHttpHelper.h"

namespace TVK {

eTileRequestThread::eTileRequestThread() : UserData(eHttpHelper::Easy_Init()) {}

eTileRequestThread::~eTileRequestThread() {
    // A running task may still be using the handle.
    StopThread();
    eHttpHelper::Easy_Cleanup(UserData);
}

void* eTileRequestThread::GetUserData() { return UserData; }

}  // namespace TVK
