#pragma once
// The engine's reader for the restore, bound at its first use through the archiver component,
// which loads the engine at run time: a program without the engine still starts, and a restore
// says why it cannot read. The calls are those of zip32.h.

#include "platform/zipengine/zip32.h"

namespace EngineReader {

/// ZpOpenReader; without the engine ZP_ERR_FILE_READ, and problem says that the engine is missing.
int32_t Open(const char* archivePath, ZpReader** reader, ZpVerifyProblem problem, void* context);
int64_t Count(const ZpReader* reader);
const ZpEntryInfo* At(const ZpReader* reader, int64_t index);
int32_t Extract(ZpReader* reader, int64_t index, const char* password, ZpWriteCallback write,
                ZpVerifyProblem problem, void* context);
int32_t CheckPassword(ZpReader* reader, int64_t index, const char* password);
void Close(ZpReader* reader);

}  // namespace EngineReader
