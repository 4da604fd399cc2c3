// HTTP set-up: the process-wide initialisation and one easy handle per user.
// A handle is opaque to callers and used by one thread at a time.
#ifndef TVK_PLATFORM_EHTTPHELPER_H
#define TVK_PLATFORM_EHTTPHELPER_H

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

class TVK_API eHttpHelper {
public:
    // Process-wide set-up; 1 on success. Runs before any handle is made.
    static unsigned char Global_Init();
    // Process-wide tear-down, after the last handle is freed.
    static void Global_Cleanup();
    // A new handle, or null on failure.
    static void* Easy_Init();
    // Frees a handle from Easy_Init; null is ignored.
    static void Easy_Cleanup(void* handle);

    // Fetches url with handle into body (replaced). Returns 1 when a response
    // arrived, whatever its status, and stores the status in *status (if not
    // null); 0 on a transport failure, with body empty and *status 0.
    // Redirects are followed; the handle keeps its connection for reuse.
    static unsigned char Get(void* handle, const eString& url, eByteArray& body, long* status);
};

}  // namespace TVK

#endif
