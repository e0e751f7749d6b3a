// zip32drive: runs the engine through its C interface alone and prints every callback it makes,
// one line each, then the result. The exit status is the engine's result.
//
//   zip32drive [-P password] [-A] [-c comment] [-g] [-u] [-8] [-v] [-q] [-l LEVEL] [-r ROOT]
//              [-s N] [-t] ARCHIVE [FILE...]
//
// Without FILE the names are read from standard input, one a line. -P "" asks for encryption but
// gives no password; -A encrypts with AES-256 instead of the traditional method; -s N answers the
// N-th service call with "stop"; -t checks the archive after a run that wrote it (ZpVerify) and
// prints the check's result, which is then the exit status.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/zipengine/zip32.h"

namespace {

std::string password;
std::string comment;
long stopAfter = 0;
long serviceCalls = 0;

int32_t onPrint(const char* text, int32_t length) {
    std::string line(text, static_cast<size_t>(length));
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    std::cout << "print: " << line << '\n';
    return 0;
}

int16_t onComment(char* buffer) {
    std::cout << "comment asked\n";
    std::strncpy(buffer, comment.c_str(), ZP_COMMENT_BUFFER_SIZE - 1);
    return 1;
}

int16_t onPassword(char* buffer, int32_t size, const char* prompt, const char* name) {
    std::cout << "password asked: " << prompt << "| " << name << '\n';
    if (password.empty() || size <= 0) {
        return 1;
    }
    std::memset(buffer, 0, static_cast<size_t>(size));
    std::strncpy(buffer, password.c_str(), static_cast<size_t>(size) - 1);
    return 0;
}

int32_t onService(const char* name, int32_t size) {
    std::cout << "service: " << name << ' ' << size << '\n';
    return ++serviceCalls == stopAfter ? 1 : 0;
}

void onChecked(void*, int32_t done, int32_t total) {
    if (done == total) {
        std::cout << "checked: " << done << '\n';
    }
}

void onProblem(void*, const char* entry, const char* reason) {
    std::cout << "problem: " << entry << ": " << reason << '\n';
}

int usage() {
    std::cerr << "usage: zip32drive [-P password] [-A] [-c comment] [-g] [-u] [-8] [-v] [-q]"
                 " [-l LEVEL] [-r ROOT] [-s N] [-t] ARCHIVE [FILE...]\n";
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    ZpOptions options{};
    options.level = '9';
    std::string root;
    bool hasRoot = false;
    bool check = false;
    int32_t encryption = ZP_ENCRYPT_TRADITIONAL;
    int opt = 0;
    while ((opt = getopt(argc, argv, "P:Ac:gu8vql:r:s:t")) != -1) {
        switch (opt) {
            case 'P':
                password = optarg;
                options.encrypt = 1;
                break;
            case 'A':
                encryption = ZP_ENCRYPT_AES256;
                break;
            case 'c':
                comment = optarg;
                options.comment = 1;
                break;
            case 'g':
                options.grow = 1;
                break;
            case 'u':
                options.update = 1;
                break;
            case '8':
                options.dosNames = 1;
                break;
            case 'v':
                options.verbose = 1;
                break;
            case 'q':
                options.quiet = 1;
                break;
            case 'l':
                options.level = optarg[0];
                break;
            case 'r':
                root = optarg;
                hasRoot = true;
                break;
            case 's':
                stopAfter = std::strtol(optarg, nullptr, 10);
                break;
            case 't':
                check = true;
                break;
            default:
                return usage();
        }
    }
    if (optind >= argc) {
        return usage();
    }
    const char* archive = argv[optind++];
    std::vector<std::string> names(argv + optind, argv + argc);
    if (names.empty()) {
        for (std::string line; std::getline(std::cin, line);) {
            names.push_back(line);
        }
    }
    std::vector<char*> table;
    for (std::string& name : names) {
        table.push_back(name.data());
    }
    table.push_back(nullptr);
    if (hasRoot) {
        options.rootDir = root.c_str();
    }

    ZpCallbacks callbacks{onPrint, onComment, onPassword, onService};
    ZpInit(&callbacks);
    ZpSetOptions(&options);
    ZpSetEncryption(encryption);
    int32_t result = ZpArchive(static_cast<int32_t>(names.size()), archive, table.data());
    std::cout << "result: " << result << std::endl;
    if (check && (result == ZP_OK || result == ZP_ERR_FILE_READ)) {
        const int32_t checked = ZpVerify(archive, onChecked, onProblem, nullptr);
        std::cout << "check: " << checked << std::endl;
        return checked != ZP_OK ? checked : result;
    }
    return result;
}
