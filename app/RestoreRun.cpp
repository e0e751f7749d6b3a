// The run: the plan's files written under hidden work names, on every core, and named only once
// their data held.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "app/EngineReader.h"
#include "app/NativePath.h"
#include "app/RestoreInternal.h"
#include "app/TerminalProgress.h"

namespace Restore {

namespace {

constexpr char kWorkSuffix[] = ".wiederherstellen";
constexpr size_t kMaxName = 255;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

QString Shown(const QByteArray& path) {
    return DisplayPath(PathFromNative(path));
}

// The path's names below the root; a reason when one would lead out of the target.
QString Components(const QByteArray& path, std::vector<std::string>& names) {
    if (!path.startsWith('/')) {
        return QStringLiteral("Der Name ist nicht absolut; er wird nicht wiederhergestellt.");
    }
    for (const QByteArray& part : path.mid(1).split('/')) {
        if (part.isEmpty()) {
            return QStringLiteral(
                "Der Name enthält einen leeren Teil oder ist absolut; er würde das Ziel "
                "verlassen und wird nicht wiederhergestellt.");
        }
        if (part == "." || part == "..") {
            return QStringLiteral(
                "Der Name enthält „..“; er würde das Ziel verlassen und wird nicht "
                "wiederhergestellt.");
        }
        names.emplace_back(part.constData(), static_cast<size_t>(part.size()));
    }
    return QString();
}

std::string WorkName(const std::string& name) {
    const std::string tail = '.' + std::to_string(::getuid()) + kWorkSuffix;
    const size_t room = kMaxName - 1 - tail.size();
    return '.' + name.substr(0, std::min(name.size(), room)) + tail;
}

bool IsLeftover(const char* name) {
    const std::string tail = '.' + std::to_string(::getuid()) + kWorkSuffix;
    const size_t length = std::strlen(name);
    return name[0] == '.' && length > tail.size() + 1 &&
           std::memcmp(name + length - tail.size(), tail.data(), tail.size()) == 0;
}

// Removes the work files of this user's killed restores in the folder.
void RemoveLeftovers(int folder) {
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        if (IsLeftover(entry->d_name) &&
            ::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && st.st_uid == ::getuid()) {
            ::unlinkat(folder, entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

// "Brief (wiederhergestellt 2026-12-07 1405).odt"
std::string BesideName(const std::string& name, const QDateTime& moment) {
    const std::string mark =
        NativePath(QStringLiteral(" (wiederhergestellt %1)")
                       .arg(moment.toString(QStringLiteral("yyyy-MM-dd HHmm"))))
            .toStdString();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return name + mark;
    }
    return name.substr(0, dot) + mark + name.substr(dot);
}

// Whether the file there holds exactly size bytes with this CRC.
bool SameContent(int folder, const std::string& name, uint64_t size, uint32_t crc) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::vector<unsigned char> buffer(size_t{1} << 18);
    uLong sum = ::crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return n == 0 && total == size && sum == crc;
        }
        sum = ::crc32(sum, buffer.data(), static_cast<uInt>(n));
        total += static_cast<uint64_t>(n);
    }
}

// Renames without replacing; false with errno EEXIST when the name is taken.
bool RenameNew(int folder, const std::string& from, const std::string& to) {
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) {
        return false;
    }
    ::unlinkat(folder, from.c_str(), 0);
    return true;
}

// A folder's descriptor, closed with its last holder.
struct FolderFd {
    explicit FolderFd(int descriptor) : fd(descriptor) {}
    ~FolderFd() { ::close(fd); }
    FolderFd(const FolderFd&) = delete;
    FolderFd& operator=(const FolderFd&) = delete;
    int fd;
};

struct WriteTarget {
    int fd = -1;
    int error = 0;
    QString sProblem;
};

int32_t WriteData(void* context, const void* data, uint64_t length) {
    auto* target = static_cast<WriteTarget*>(context);
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(target->fd, bytes, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            target->error = n < 0 ? errno : ENOSPC;
            return 1;
        }
        bytes += n;
        length -= static_cast<uint64_t>(n);
    }
    return 0;
}

void NoteProblem(void* context, const char* /*entry*/, const char* reason) {
    auto* target = static_cast<WriteTarget*>(context);
    if (target->sProblem.isEmpty()) {
        target->sProblem = QString::fromUtf8(reason);
    }
}

// The folders of the target, made where missing. Below a target the user named, never through a
// link; to the original places the path is followed as the system resolves it (a linked home
// folder is still the home folder). The last folders opened are kept open (a tree of thousands of
// folders must not run out of descriptors); a handle stays valid while a writer holds it.
class Folders {
public:
    using Handle = std::shared_ptr<const FolderFd>;

    // shownRoot: the target's path as the user knows it (empty for the original places).
    Folders(int root, QByteArray shownRoot, bool bFollowLinks)
        : root_(std::make_shared<const FolderFd>(root)),
          shownRoot_(std::move(shownRoot)),
          bFollowLinks_(bFollowLinks) {}
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;

    // The folder of names[0 .. count); null with the reason.
    Handle Open(const std::vector<std::string>& names, size_t count, QString& sReason) {
        const std::lock_guard<std::mutex> lock(mutex_);
        Handle current = root_;
        std::string path;
        if (!cleanedRoot_) {
            cleanedRoot_ = true;
            RemoveLeftovers(root_->fd);
        }
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (bFollowLinks_ ? 0 : O_NOFOLLOW);
        for (size_t i = 0; i < count; ++i) {
            path += '/';
            path += names[i];
            if (const auto it = open_.find(path); it != open_.end()) {
                current = it->second;
                continue;
            }
            int fd = ::openat(current->fd, names[i].c_str(), flags);
            if (fd < 0 && errno == ENOENT) {
                if (::mkdirat(current->fd, names[i].c_str(), 0700) != 0 && errno != EEXIST) {
                    sReason = QStringLiteral("Der Ordner „%1“ kann nicht angelegt werden: %2")
                                  .arg(Shown(shownRoot_ + QByteArray::fromStdString(path)),
                                       SystemReason(errno));
                    return nullptr;
                }
                fd = ::openat(current->fd, names[i].c_str(), flags);
            }
            if (fd < 0) {
                const int error = errno;
                struct stat st {};
                if (::fstatat(current->fd, names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISLNK(st.st_mode)) {
                    sReason = QStringLiteral(
                                  "Der Ordner „%1“ des Ziels ist ein symbolischer Verweis; "
                                  "nichts wird hindurch geschrieben.")
                                  .arg(Shown(shownRoot_ + QByteArray::fromStdString(path)));
                } else {
                    sReason = QStringLiteral("Der Ordner „%1“ kann nicht geöffnet werden: %2")
                                  .arg(Shown(shownRoot_ + QByteArray::fromStdString(path)),
                                       SystemReason(error));
                }
                return nullptr;
            }
            // Once per run: opened again after the cache let it go, the folder may hold the
            // work files of files being written right now.
            if (cleaned_.insert(path).second) {
                RemoveLeftovers(fd);
            }
            if (open_.size() >= kMostOpen) {
                open_.clear();
            }
            current = std::make_shared<const FolderFd>(fd);
            open_.emplace(path, current);
        }
        return current;
    }

private:
    static constexpr size_t kMostOpen = 64;
    Handle root_;
    QByteArray shownRoot_;
    bool bFollowLinks_;
    bool cleanedRoot_ = false;
    std::mutex mutex_;
    std::map<std::string, Handle> open_;
    std::set<std::string> cleaned_;
};

struct Job {
    const PlannedFile* file = nullptr;
    ZpReader* reader = nullptr;
    const QByteArray* key = nullptr;
    QDateTime dtMoment;
    std::vector<std::string> names;
};

enum class Outcome { NotRun, Restored, Identical, Beside, Failed };

struct Done {
    Done() = default;
    Done(Outcome eOutcome, QString sWhy, std::string name = {})
        : outcome(eOutcome), sReason(std::move(sWhy)), beside(std::move(name)) {}
    Outcome outcome = Outcome::NotRun;  // cancelled before its turn
    QString sReason;
    std::string beside;  // the name written beside a different file
};

Done RestoreOne(const Job& job, Folders& folders, bool bOverwrite) {
    const Version& version = job.file->version;
    QString sReason;
    const Folders::Handle held = folders.Open(job.names, job.names.size() - 1, sReason);
    if (!held) {
        return {Outcome::Failed, sReason};
    }
    const int folder = held->fd;
    const std::string& name = job.names.back();
    struct stat st {};
    const bool bExists = ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (bExists && S_ISDIR(st.st_mode)) {
        return {Outcome::Failed, QStringLiteral("An seiner Stelle steht ein Ordner.")};
    }
    if (bExists && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == version.lSize &&
        SameContent(folder, name, version.lSize, version.lCrc)) {
        return {Outcome::Identical, QString()};
    }
    const std::string work = WorkName(name);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(folder, work.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST) {
        ::unlinkat(folder, work.c_str(), 0);
        fd = ::openat(folder, work.c_str(), flags, 0600);
    }
    if (fd < 0) {
        return {
            Outcome::Failed,
            QStringLiteral("Die Datei kann nicht angelegt werden: %1").arg(SystemReason(errno))};
    }
    WriteTarget target;
    target.fd = fd;
    const int32_t result = EngineReader::Extract(
        job.reader, version.lEntry, job.key != nullptr ? job.key->constData() : nullptr, &WriteData,
        &NoteProblem, &target);
    const auto drop = [&](const QString& sWhy) {
        ::close(fd);
        ::unlinkat(folder, work.c_str(), 0);
        return Done{Outcome::Failed, sWhy};
    };
    if (target.error != 0) {
        return drop(QStringLiteral("Die Datei kann nicht geschrieben werden: %1")
                        .arg(SystemReason(target.error)));
    }
    if (result != ZP_OK) {
        return drop(target.sProblem.isEmpty() ? QStringLiteral("Der Eintrag kann nicht gelesen "
                                                               "werden (Fehler %1).")
                                                    .arg(result)
                                              : target.sProblem);
    }
    const mode_t mode = version.lMode != 0 ? static_cast<mode_t>(version.lMode & 0777) : 0600;
    const struct timespec times[2] = {{0, UTIME_NOW}, {static_cast<time_t>(version.lMtime), 0}};
    if (::fchmod(fd, mode) != 0 || ::futimens(fd, times) != 0) {
        return drop(SystemReason(errno));
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlinkat(folder, work.c_str(), 0);
        return {
            Outcome::Failed,
            QStringLiteral("Die Datei kann nicht geschrieben werden: %1").arg(SystemReason(error))};
    }
    const auto fail = [&](int error) {
        ::unlinkat(folder, work.c_str(), 0);
        return Done{
            Outcome::Failed,
            QStringLiteral("Die Datei kann nicht benannt werden: %1").arg(SystemReason(error))};
    };
    if (bExists && bOverwrite) {
        if (::renameat(folder, work.c_str(), folder, name.c_str()) != 0) {
            return fail(errno);
        }
        return {Outcome::Restored, QString()};
    }
    if (!bExists) {
        if (RenameNew(folder, work, name)) {
            return {Outcome::Restored, QString()};
        }
        if (errno != EEXIST) {
            return fail(errno);
        }
    }
    const std::string beside = BesideName(name, job.dtMoment);
    if (RenameNew(folder, work, beside)) {
        return {Outcome::Beside, QString(), beside};
    }
    const int error = errno;
    if (error == EEXIST && SameContent(folder, beside, version.lSize, version.lCrc)) {
        ::unlinkat(folder, work.c_str(), 0);
        return {Outcome::Identical, QString()};
    }
    return fail(error);
}

}  // namespace

Summary Run(const Catalog& catalog, const Plan& plan, const Options& options,
            const PasswordSource& password, const std::function<void(const Progress&)>& progress,
            const std::atomic<bool>& cancel) {
    Summary summary;
    const std::vector<ArchiveInfo>& archives = catalog.Archives();
    CachedPassword cached(password);

    // The target's root: made when missing; the folder the user names may itself be a link.
    QString sRoot = QStringLiteral("/");
    if (!options.sTarget.isEmpty()) {
        sRoot = QDir::cleanPath(QDir(options.sTarget).absolutePath());
        if (!QDir().mkpath(sRoot)) {
            summary.failures.append(QStringLiteral("%1: Der Zielordner kann nicht angelegt werden.")
                                        .arg(DisplayPath(sRoot)));
            return summary;
        }
    }
    const int root = ::open(NativePath(sRoot).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        summary.failures.append(
            QStringLiteral("%1: %2").arg(DisplayPath(sRoot), SystemReason(errno)));
        return summary;
    }
    Folders folders(root, sRoot == u'/' ? QByteArray() : NativePath(sRoot), sRoot == u'/');

    // Each archive once: opened, its entries still those of the catalog, its password checked.
    struct Source {
        ZpReader* reader = nullptr;
        bool bUsable = false;
        bool bTried = false;
    };
    std::vector<Source> sources(archives.size());
    struct CloseAll {
        std::vector<Source>& sources;
        ~CloseAll() {
            for (Source& source : sources) {
                if (source.reader != nullptr) {
                    EngineReader::Close(source.reader);
                }
            }
        }
    } closeAll{sources};
    std::optional<QByteArray> key;
    std::vector<Job> jobs;
    jobs.reserve(plan.files.size());
    for (const PlannedFile& file : plan.files) {
        const auto iArchive = static_cast<size_t>(file.version.iArchive);
        if (iArchive >= archives.size()) {
            continue;
        }
        const ArchiveInfo& archive = archives[iArchive];
        Source& source = sources[iArchive];
        if (!source.bTried) {
            source.bTried = true;
            WriteTarget problem;
            if (EngineReader::Open(NativePath(archive.sPath).constData(), &source.reader,
                                   &NoteProblem, &problem) != ZP_OK) {
                source.reader = nullptr;
                summary.failures.append(
                    QStringLiteral("„%1“: %2").arg(DisplayPath(archive.sPath), problem.sProblem));
                continue;
            }
            source.bUsable = true;
            if (archive.bEncrypted) {
                // The first encrypted entry of the plan's in this archive tells for all of them.
                const auto first =
                    std::find_if(plan.files.begin(), plan.files.end(), [&](const PlannedFile& f) {
                        return f.version.iArchive == file.version.iArchive && f.version.bEncrypted;
                    });
                if (first != plan.files.end()) {
                    if (!key) {
                        key = cached.Get().value_or(QByteArray());
                    }
                    const int32_t checked =
                        key->isEmpty()
                            ? ZP_ERR_PASSWORD
                            : EngineReader::CheckPassword(source.reader, first->version.lEntry,
                                                          key->constData());
                    if (checked != ZP_OK) {
                        source.bUsable = false;
                        summary.failures.append(
                            QStringLiteral("„%1“: %2")
                                .arg(DisplayPath(archive.sPath),
                                     key->isEmpty() ? QStringLiteral("Passwort fehlt")
                                     : checked == ZP_ERR_PASSWORD
                                         ? QStringLiteral("falsches Passwort")
                                         : QStringLiteral("Archiv nicht lesbar")));
                    }
                }
            }
        }
        if (!source.bUsable) {
            continue;
        }
        const ZpEntryInfo* entry = EngineReader::At(source.reader, file.version.lEntry);
        const QByteArray stored = file.path.mid(1);
        if (entry == nullptr || entry->nameLength != static_cast<uint32_t>(stored.size()) ||
            std::memcmp(entry->name, stored.constData(), entry->nameLength) != 0 ||
            entry->crc != file.version.lCrc || entry->size != file.version.lSize) {
            summary.failures.append(QStringLiteral("%1: Das Archiv „%2“ hat sich seit dem Lesen "
                                                   "geändert.")
                                        .arg(Shown(file.path), DisplayPath(archive.sPath)));
            continue;
        }
        Job job;
        job.file = &file;
        job.reader = source.reader;
        job.key = file.version.bEncrypted && key ? &*key : nullptr;
        job.dtMoment = archive.dtMoment;
        if (const QString sWhy = Components(file.path, job.names); !sWhy.isEmpty()) {
            // Named as stored, since the name is the fault.
            summary.failures.append(QStringLiteral("„%1“ in „%2“: %3")
                                        .arg(Shown(stored), DisplayPath(archive.sPath), sWhy));
            continue;
        }
        jobs.push_back(std::move(job));
    }

    // An archive read mostly whole is read ahead in large pieces: the workers would otherwise
    // seek between the archives (a series spreads a folder over many) and wait on each piece.
    std::vector<uint64_t> needed(archives.size(), 0);
    for (const Job& job : jobs) {
        const ZpEntryInfo* entry = EngineReader::At(job.reader, job.file->version.lEntry);
        if (entry != nullptr) {
            needed[static_cast<size_t>(job.file->version.iArchive)] += entry->compressedSize;
        }
    }
    for (size_t i = 0; i < archives.size(); ++i) {
        const QFileInfo info(archives[i].sPath);
        if (needed[i] > 0 && needed[i] * 2 >= static_cast<uint64_t>(info.size())) {
            const int fd = ::open(NativePath(archives[i].sPath).constData(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
                ::close(fd);
            }
        }
    }

    Progress shown;
    shown.lFilesTotal = static_cast<int64_t>(jobs.size());
    for (const Job& job : jobs) {
        shown.lBytesTotal += job.file->version.lSize;
    }
    // The workers share nothing but an index and counters: a lock or a wake-up per file would
    // cost more than many a small file.
    std::atomic<size_t> next{0};
    std::atomic<size_t> current{0};
    std::atomic<int64_t> filesDone{0};
    std::atomic<uint64_t> bytesDone{0};
    std::vector<Done> results(jobs.size());
    const unsigned lThreads = std::max(
        1U, std::min(std::thread::hardware_concurrency(), static_cast<unsigned>(jobs.size())));
    std::atomic<unsigned> working{0};
    std::mutex mutex;
    std::condition_variable finished;
    const auto work = [&] {
        for (size_t index = next++; index < jobs.size() && !cancel.load(); index = next++) {
            current = index;
            results[index] = RestoreOne(jobs[index], folders, options.bOverwrite);
            bytesDone += jobs[index].file->version.lSize;
            ++filesDone;
        }
        if (--working == 0) {
            const std::lock_guard<std::mutex> lock(mutex);
            finished.notify_all();
        }
    };
    const auto shownNow = [&] {
        shown.lFilesDone = filesDone.load();
        shown.lBytesDone = bytesDone.load();
        if (!jobs.empty()) {
            shown.current = jobs[std::min(current.load(), jobs.size() - 1)].file->path;
        }
        return shown;
    };
    std::vector<std::thread> threads;
    if (!jobs.empty()) {
        working = lThreads;
        for (unsigned i = 0; i < lThreads; ++i) {
            threads.emplace_back(work);
        }
        std::unique_lock<std::mutex> lock(mutex);
        while (working.load() > 0) {
            finished.wait_for(lock, kProgressInterval);
            if (progress) {
                const Progress now = shownNow();
                lock.unlock();
                progress(now);
                lock.lock();
            }
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    shownNow();
    // Names written beside are shown where they lie.
    const QByteArray target = sRoot == u'/' ? QByteArray() : NativePath(sRoot);
    summary.bCancelled = cancel.load() && static_cast<size_t>(shown.lFilesDone) < jobs.size();
    for (size_t i = 0; i < jobs.size(); ++i) {
        const Done& done = results[i];
        const PlannedFile& file = *jobs[i].file;
        switch (done.outcome) {
            case Outcome::Restored:
                ++summary.lRestored;
                summary.lBytes += file.version.lSize;
                break;
            case Outcome::Beside:
                ++summary.lRestored;
                summary.lBytes += file.version.lSize;
                summary.beside.append(Shown(target +
                                            file.path.left(file.path.lastIndexOf('/') + 1) +
                                            QByteArray::fromStdString(done.beside)));
                break;
            case Outcome::Identical:
                ++summary.lIdentical;
                break;
            case Outcome::Failed:
                summary.failures.append(
                    QStringLiteral("%1: %2").arg(Shown(file.path), done.sReason));
                break;
            case Outcome::NotRun:
                break;
        }
    }
    if (progress) {
        progress(shown);
    }
    return summary;
}

QString SummaryLine(const Summary& summary) {
    return QStringLiteral("%1, %2 MB wiederhergestellt, %3 übersprungen")
        .arg(GermanNumber::Files(summary.lRestored),
             GermanNumber::Megabytes(static_cast<int64_t>(summary.lBytes)),
             GermanNumber::Count(summary.lIdentical));
}

}  // namespace Restore
