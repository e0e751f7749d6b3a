/* An engine library that lacks ZpArchive: the component must still run the calls it can. */
#include "platform/zipengine/zip32.h"

__attribute__((visibility("default"))) int32_t ZpInit(const ZpCallbacks* callbacks) {
    (void)callbacks;
    return 21;
}

__attribute__((visibility("default"))) int32_t ZpSetOptions(ZpOptions* options) {
    (void)options;
    return 22;
}
