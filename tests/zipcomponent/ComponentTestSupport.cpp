#include "tests/zipcomponent/ComponentTestSupport.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace componenttest {

TempDir::TempDir() {
    std::string sTemplate =
        (std::filesystem::temp_directory_path() / "sondrel-zip-XXXXXX").string();
    if (mkdtemp(sTemplate.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir = sTemplate;
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(dir, error);
}

CommandResult run(const std::string& sCommand) {
    CommandResult result;
    FILE* pipe = popen((sCommand + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuoted(const std::string& sArgument) {
    std::string sResult = "'";
    for (char c : sArgument) {
        if (c == '\'') {
            sResult += "'\\''";
        } else {
            sResult += c;
        }
    }
    return sResult + "'";
}

}  // namespace componenttest
