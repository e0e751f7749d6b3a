// What the C interface keeps between its calls: the callbacks of ZpInit and a copy of the options
// of ZpSetOptions, one set per thread, so that engines driven from different threads never meet.
#ifndef SONDREL_ZIPENGINE_ENGINESTATE_H
#define SONDREL_ZIPENGINE_ENGINESTATE_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/zipengine/zip32.h"

namespace zip32 {

// The options a run honours; the record's other fields are accepted and ignored.
struct RunOptions {
    std::optional<std::string> rootDir;
    bool encrypt = false;
    bool verbose = false;
    bool quiet = false;
    bool grow = false;
    bool dosNames = false;
    bool update = false;
    bool comment = false;
    int level = 9;  // 0 stores, 1 to 9 deflate
};

// Knobs of the compression threads. Tests lower them to reach the streaming path with small files.
struct Tuning {
    uint64_t streamThreshold = 32ull << 20;  // larger files are streamed through zlib, not held
    uint64_t window = 96ull << 20;      // bytes that files being compressed or waiting may hold
    unsigned workers = 0;               // 0: one per core
    std::function<void()> beforeWrite;  // runs when the files are checked, before any is read
};

struct ThreadState {
    bool initialised = false;
    ZpCallbacks callbacks{};
    RunOptions options;
    Tuning tuning;
};

// The calling thread's state.
ThreadState& threadState();

// Copies the record's fields that the engine honours; the level character '0'..'9' (anything else
// means the strongest).
RunOptions optionsFromRecord(const ZpOptions& record);

}  // namespace zip32

#endif
