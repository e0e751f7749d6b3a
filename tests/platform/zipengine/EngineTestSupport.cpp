#include "tests/platform/zipengine/EngineTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/zipengine/EngineState.h"

namespace fs = std::filesystem;

namespace enginetest {

void EngineTest::SetUp() {
    char pattern[] = "/tmp/sondrel-engine-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    for (const char* name : {"config", "state", "home"}) {
        fs::create_directory(dir_ + "/" + name);
    }
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
    setenv("HOME", (dir_ + "/home").c_str(), 1);
}

void EngineTest::TearDown() {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
}

std::string EngineTest::write(const std::string& relative, const std::string& content) {
    std::string full = path(relative);
    fs::create_directories(fs::path(full).parent_path());
    writeFile(full, content);
    return full;
}

std::vector<std::string> EngineTest::filesIn(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

EngineRun* recording = nullptr;
const EngineCall* answering = nullptr;

int32_t onPrint(const char* text, int32_t length) {
    recording->prints.emplace_back(text, static_cast<size_t>(length));
    return 0;
}

int16_t onComment(char* buffer) {
    ++recording->commentAsks;
    if (answering->comment) {
        std::strncpy(buffer, answering->comment->c_str(), ZP_COMMENT_BUFFER_SIZE - 1);
    }
    return 1;
}

int16_t onPassword(char* buffer, int32_t size, const char*, const char*) {
    ++recording->passwordAsks;
    if (!answering->password || answering->password->empty()) {
        return 1;
    }
    std::memset(buffer, 0, static_cast<size_t>(size));
    std::strncpy(buffer, answering->password->c_str(), static_cast<size_t>(size) - 1);
    return 0;
}

int32_t onService(const char* name, int32_t size) {
    recording->services.emplace_back(name, size);
    if (answering->atService) {
        answering->atService(static_cast<int>(recording->services.size()));
    }
    return static_cast<int>(recording->services.size()) == answering->stopAtService ? 1 : 0;
}

}  // namespace

std::string EngineRun::printed() const {
    std::string all;
    for (const std::string& line : prints) {
        all += line;
    }
    return all;
}

std::vector<std::string> EngineRun::serviceNames() const {
    std::vector<std::string> names;
    for (const auto& service : services) {
        names.push_back(service.first);
    }
    return names;
}

EngineRun runEngine(const std::string& archive, const EngineCall& call) {
    EngineRun run;
    recording = &run;
    answering = &call;
    ZpCallbacks callbacks{onPrint, onComment, onPassword, onService};
    ZpInit(&callbacks);

    ZpOptions options{};
    options.rootDir = call.root ? call.root->c_str() : nullptr;
    options.quiet = call.quiet;
    options.verbose = call.verbose;
    options.grow = call.grow;
    options.update = call.update;
    options.dosNames = call.dosNames;
    options.encrypt = call.password.has_value();
    options.comment = call.comment.has_value();
    options.level = call.level;
    if (call.moreOptions) {
        call.moreOptions(options);
    }
    ZpSetOptions(&options);
    run.encryptionSupported = options.encryptionSupported;
    EXPECT_EQ(ZpSetEncryption(call.encryption), ZP_OK);

    std::vector<std::string> names = call.names;
    std::vector<char*> table;
    for (std::string& name : names) {
        table.push_back(name.data());
    }
    table.push_back(nullptr);
    run.result = ZpArchive(static_cast<int32_t>(call.names.size()), archive.c_str(), table.data());
    recording = nullptr;
    answering = nullptr;
    return run;
}

Command runCommand(const std::vector<std::string>& argv, std::optional<uint64_t> fileSizeLimit,
                   const std::string& input) {
    Command command;
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    FILE* stdinFile = std::tmpfile();
    if (stdinFile == nullptr) {
        return command;
    }
    std::fwrite(input.data(), 1, input.size(), stdinFile);
    std::fflush(stdinFile);
    std::rewind(stdinFile);

    int out[2];
    if (pipe(out) != 0) {
        std::fclose(stdinFile);
        return command;
    }
    pid_t child = fork();
    if (child == 0) {
        dup2(fileno(stdinFile), 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        if (fileSizeLimit) {
            // A write past the limit then fails with EFBIG, as on a full disk.
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit {
                *fileSizeLimit, *fileSizeLimit
            };
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        command.output.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    std::fclose(stdinFile);
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        command.status = WEXITSTATUS(status);
    }
    return command;
}

std::string sevenZip() {
    for (const char* name : {"7z", "7zz"}) {
        if (runCommand({"sh", "-c", std::string("command -v ") + name}).status == 0) {
            return name;
        }
    }
    return "7z";
}

std::vector<std::pair<std::string, std::string>> sevenZipMethods(const std::string& archive) {
    Command listed = runCommand({sevenZip(), "l", "-slt", archive});
    EXPECT_EQ(listed.status, 0) << listed.output;
    std::vector<std::pair<std::string, std::string>> methods;
    std::istringstream lines(
        listed.output.substr(std::min(listed.output.find("----------"), listed.output.size())));
    std::string name;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Path = ", 0) == 0) {
            name = line.substr(7);
        } else if (line.rfind("Method = ", 0) == 0) {
            methods.emplace_back(name, line.substr(9));
        }
    }
    return methods;
}

const Entry* Listing::find(const std::string& name) const {
    for (const Entry& entry : entries) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

std::vector<std::string> Listing::rawNames() const {
    std::vector<std::string> names;
    for (const Entry& entry : entries) {
        names.push_back(entry.rawName);
    }
    return names;
}

Listing readWithPython(const std::string& archive, const std::optional<std::string>& password,
                       const std::optional<std::string>& extractTo) {
    std::vector<std::string> argv{"python3", ENGINE_ZIPCHECK_PY, archive};
    if (password) {
        argv.insert(argv.end(), {"--password", *password});
    }
    if (extractTo) {
        argv.insert(argv.end(), {"--extract", *extractTo});
    }
    Command command = runCommand(argv);
    Listing listing;
    listing.ok = command.status == 0;
    listing.error = command.output;
    std::istringstream lines(command.output);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, '\t');) {
            fields.push_back(field);
        }
        if (fields.size() >= 2 && fields[0] == "comment") {
            listing.comment = fields[1];
        } else if (fields.size() >= 2 && fields[0] == "comment bytes") {
            listing.commentHex = fields[1];
        } else if (fields.size() == 10 && fields[0] == "entry") {
            Entry entry;
            entry.name = fields[1];
            entry.flags = std::stoi(fields[2]);
            entry.method = std::stoi(fields[3]);
            entry.size = std::stoull(fields[4]);
            if (fields[5] != "-") {
                entry.extendedTime = std::stoll(fields[5]);
            }
            entry.createSystem = std::stoi(fields[6]);
            entry.dosTime = fields[7];
            entry.compressedSize = std::stoull(fields[8]);
            for (size_t at = 0; at + 1 < fields[9].size(); at += 2) {
                entry.rawName.push_back(
                    static_cast<char>(std::stoi(fields[9].substr(at, 2), nullptr, 16)));
            }
            listing.entries.push_back(entry);
        }
    }
    return listing;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

void setMtime(const std::string& path, int64_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

void damageEntry(const std::string& archive, const std::string& entryName, size_t into, char mask) {
    std::string bytes = readFile(archive);
    for (size_t at = bytes.find("PK\x03\x04"); at != std::string::npos;
         at = bytes.find("PK\x03\x04", at + 4)) {
        uint16_t nameLength = 0;
        uint16_t extraLength = 0;
        std::memcpy(&nameLength, bytes.data() + at + 26, 2);
        std::memcpy(&extraLength, bytes.data() + at + 28, 2);
        if (bytes.compare(at + 30, nameLength, entryName) == 0) {
            bytes[at + 30 + nameLength + extraLength + into] ^= mask;
            writeFile(archive, bytes);
            return;
        }
    }
    ADD_FAILURE() << "no local header for " << entryName;
}

std::string text(size_t size) {
    static const char* words[] = {"Sicherung ", "Datei ", "Ordner ",     "täglich ",
                                  "Archiv ",    "Liste ", "Kommentar\n", "Passwort "};
    std::mt19937 generator(7);
    std::string out;
    while (out.size() < size) {
        out += words[generator() % 8];
    }
    out.resize(size);
    return out;
}

void EngineArchive::TearDown() {
    zip32::threadState().tuning = zip32::Tuning{};
    ZpSetEncryption(ZP_ENCRYPT_TRADITIONAL);
    EngineTest::TearDown();
}

void EngineArchive::expectContents(
    const std::string& archive,
    const std::vector<std::pair<std::string, std::string>>& entryAndFile,
    const std::optional<std::string>& password) {
    std::string out = path("extracted");
    fs::remove_all(out);
    Listing listing = readWithPython(archive, password, out);
    ASSERT_TRUE(listing.ok) << listing.error;
    EXPECT_EQ(listing.entries.size(), entryAndFile.size());
    for (const auto& [entry, file] : entryAndFile) {
        ASSERT_TRUE(exists(out + "/" + entry)) << entry;
        EXPECT_TRUE(readFile(out + "/" + entry) == readFile(file)) << entry;
    }
}

void EngineArchive::expectInEveryClient(
    const std::string& archive,
    const std::vector<std::pair<std::string, std::string>>& entryAndFile,
    const std::optional<std::string>& password) {
    expectContents(archive, entryAndFile, password);
    std::vector<std::string> unzip{"unzip", "-qq", "-o"};
    std::vector<std::string> seven{sevenZip(), "x", "-y", "-o" + path("by-7z")};
    if (password) {
        unzip.insert(unzip.end(), {"-P", *password});
        seven.push_back("-p" + *password);
    }
    unzip.insert(unzip.end(), {archive, "-d", path("by-unzip")});
    seven.push_back(archive);
    for (const auto& [folder, command] :
         {std::pair{path("by-unzip"), unzip}, {path("by-7z"), seven}}) {
        fs::remove_all(folder);
        Command extracted = runCommand(command);
        ASSERT_EQ(extracted.status, 0) << command[0] << ": " << extracted.output;
        for (const auto& [entry, file] : entryAndFile) {
            EXPECT_TRUE(readFile(folder + "/" + entry) == readFile(file))
                << command[0] << ": " << entry;
        }
    }
}

void EngineArchive::cutAbove(uint64_t wholeAtMost, uint64_t blockSize) {
    zip32::threadState().tuning.wholeAtMost = wholeAtMost;
    zip32::threadState().tuning.blockSize = blockSize;
}

void EngineBadInput::SetUp() {
    EngineTest::SetUp();
    fs::create_directory(path("out"));
    archive_ = path("out/backup.zip");
}

void EngineBadInput::TearDown() {
    zip32::threadState().tuning = zip32::Tuning{};
    EngineTest::TearDown();
}

void makeArchiveWith(const std::string& archive, const std::string& entry,
                     const std::string& content) {
    Command made = runCommand({"python3", "-c",
                               "import sys, zipfile\n"
                               "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                               "    z.writestr(sys.argv[2], sys.argv[3])\n",
                               archive, entry, content});
    ASSERT_EQ(made.status, 0) << made.output;
}

int32_t check(const std::string& archive, CheckLog& log) {
    log = CheckLog{};
    return ZpVerify(archive.c_str(), &CheckLog::onProgress, &CheckLog::onProblem, &log);
}

void expectCheckPasses(const std::string& archive) {
    CheckLog log;
    EXPECT_EQ(check(archive, log), ZP_OK) << log.entry << ": " << log.reason;
}

}  // namespace enginetest
