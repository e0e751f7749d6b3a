/* An engine from before AES: it archives, but has no ZpSetEncryption. OldEngineArchived tells
 * whether ZpArchive ran. */
#include "platform/zipengine/zip32.h"

static int archived = 0;

__attribute__((visibility("default"))) int OldEngineArchived(void) {
    return archived;
}

__attribute__((visibility("default"))) int32_t ZpInit(const ZpCallbacks* callbacks) {
    (void)callbacks;
    archived = 0;
    return ZP_OK;
}

__attribute__((visibility("default"))) int32_t ZpSetOptions(ZpOptions* options) {
    (void)options;
    return ZP_OK;
}

__attribute__((visibility("default"))) int32_t ZpArchive(int32_t count, const char* archivePath,
                                                         char** names) {
    (void)count;
    (void)archivePath;
    (void)names;
    archived = 1;
    return ZP_OK;
}
