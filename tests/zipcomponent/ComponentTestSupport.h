#pragma once
// Helpers shared by the component's tests: a temporary folder, a recording event sink, running a
// command.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zipcomponent/CZIP.h"

namespace componenttest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return dir; }

private:
    std::filesystem::path dir;
};

struct EventRecorder : ICZIPEvents {
    std::vector<std::string> names;
    std::vector<std::thread::id> threads;
    std::function<void(const std::string&)> onEvent;

    std::vector<std::pair<int32_t, int32_t>> verified;

    void FileAdded(const std::string& sFilename) override {
        names.push_back(sFilename);
        threads.push_back(std::this_thread::get_id());
        if (onEvent) {
            onEvent(sFilename);
        }
    }
    void VerifyProgress(int32_t lDone, int32_t lTotal) override {
        verified.emplace_back(lDone, lTotal);
    }
};

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output and standard error
};

/// Runs a shell command line; the caller quotes its arguments with shellQuoted().
CommandResult run(const std::string& sCommand);
std::string shellQuoted(const std::string& sArgument);

}  // namespace componenttest
