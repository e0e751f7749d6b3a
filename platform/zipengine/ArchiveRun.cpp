#include "platform/zipengine/ArchiveRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "platform/zipengine/ArchiveCommit.h"
#include "platform/zipengine/ArchiveFile.h"
#include "platform/zipengine/ArchiveSync.h"
#include "platform/zipengine/EntryNames.h"
#include "platform/zipengine/EntryTime.h"
#include "platform/zipengine/WinZipAes.h"
#include "platform/zipengine/ZipReason.h"

namespace zip32 {

namespace {

constexpr uint8_t kDosArchiveBit = 0x20;
constexpr uint8_t kDosReadOnlyBit = 0x01;

zip_uint16_t libzipMethod(int aesStrength) {
    switch (aesStrength) {
        case 1:
            return ZIP_EM_AES_128;
        case 2:
            return ZIP_EM_AES_192;
        case 3:
            return ZIP_EM_AES_256;
        default:
            return ZIP_EM_TRAD_PKWARE;
    }
}

// The AES strength of a method this engine writes, 0 for the traditional one, -1 for any other.
int strengthOf(zip_uint16_t method) {
    for (int strength = 0; strength <= kAes256; ++strength) {
        if (libzipMethod(strength) == method) {
            return strength;
        }
    }
    return -1;
}

std::string methodName(zip_uint16_t method) {
    switch (method) {
        case ZIP_EM_TRAD_PKWARE:
            return "ZIP 2.0";
        case ZIP_EM_AES_128:
            return "AES-128";
        case ZIP_EM_AES_192:
            return "AES-192";
        case ZIP_EM_AES_256:
            return "AES-256";
        default:
            return "einem unbekannten Verfahren";
    }
}

struct Discard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
// An open archive; dropped unwritten unless released after a successful zip_close.
using ArchivePtr = std::unique_ptr<zip_t, Discard>;

int cancelCallback(zip_t*, void* state) {
    return static_cast<ArchiveRun*>(state)->cancelled();
}

}  // namespace

ArchiveRun::ArchiveRun(const ZpCallbacks& callbacks, const RunOptions& options, int32_t encryption,
                       const Tuning& tuning)
    : callbacks_(callbacks), options_(options), encryption_(encryption), tuning_(tuning) {
    write_.namedTemporary = tuning.namedTemporary;
    write_.checkpoint = tuning.checkpoint;
}

void ArchiveRun::print(const std::string& line) {
    if (deferPrints_) {
        deferred_.push_back(line);
        return;
    }
    if (callbacks_.print != nullptr) {
        callbacks_.print(line.c_str(),
                         static_cast<int32_t>(std::min<size_t>(line.size(), INT32_MAX)));
    }
}

void ArchiveRun::skip(const std::string& given, const std::string& reason) {
    ++skipped_;
    print("  übersprungen: " + given + ": " + reason + "\n");
}

void ArchiveRun::archiveProblem(const std::string& what, const std::string& reason) {
    print("Fehler: Archiv " + archivePath_ + " " + what + ": " + reason + "\n");
}

bool ArchiveRun::checkArchivePlace() {
    if (archivePath_.empty()) {
        archiveProblem("kann nicht angelegt werden", systemReason(ENOENT));
        return false;
    }
    struct stat info {};
    if (::stat(archivePath_.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            archiveProblem("kann nicht geschrieben werden", systemReason(EISDIR));
            return false;
        }
        if (!S_ISREG(info.st_mode)) {
            archiveProblem("kann nicht geschrieben werden", "keine reguläre Datei");
            return false;
        }
        existingIsEmpty_ = info.st_size == 0;
        existingDevice_ = info.st_dev;
        existingInode_ = info.st_ino;
    } else if (errno != ENOENT) {
        archiveProblem("kann nicht angelegt werden", systemReason(errno));
        return false;
    }
    std::string folder = folderOf(archivePath_);
    if (::stat(folder.c_str(), &info) != 0) {
        archiveProblem("kann nicht angelegt werden", systemReason(errno));
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        archiveProblem("kann nicht angelegt werden", systemReason(ENOTDIR));
        return false;
    }
    // The temporary file is created beside the archive.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        archiveProblem("kann nicht angelegt werden", systemReason(errno));
        return false;
    }
    removeLeftoverTemporaries(folder);
    return true;
}

zip_t* ArchiveRun::openArchive(zip_error_t& error) {
    zip_source_t* file = createArchiveFileSource(archivePath_, write_, sync_, &error);
    if (file == nullptr) {
        return nullptr;
    }
    int flags = ZIP_CREATE | (keepExisting_ && !existingIsEmpty_ ? 0 : ZIP_TRUNCATE);
    zip_t* archive = zip_open_from_source(file, flags, &error);
    if (archive == nullptr) {
        zip_source_free(file);
    }
    return archive;
}

bool ArchiveRun::askPassword() {
    std::vector<char> buffer(ZP_PASSWORD_BUFFER_SIZE, 0);
    int16_t answer = 1;
    if (callbacks_.password != nullptr) {
        answer = callbacks_.password(buffer.data(), ZP_PASSWORD_BUFFER_SIZE,
                                     "Passwort eingeben: ", archivePath_.c_str());
    }
    buffer.back() = 0;
    if (answer == 0 && buffer[0] != 0) {
        password_ = std::make_shared<const Password>(std::string_view(buffer.data()));
    }
    platform::wipe(buffer.data(), buffer.size());
    if (!password_) {
        print("Fehler: Verschlüsselung verlangt, aber kein Passwort angegeben\n");
        return false;
    }
    return true;
}

void ArchiveRun::askComment() {
    if (callbacks_.comment == nullptr) {
        return;
    }
    std::vector<char> buffer(ZP_COMMENT_BUFFER_SIZE, 0);
    callbacks_.comment(buffer.data());
    buffer.back() = 0;
    comment_ = std::string(buffer.data());
}

bool ArchiveRun::isUnchanged(const FileJob& job, zip_t* existing, zip_int64_t index) {
    auto entry = static_cast<zip_uint64_t>(index);
    for (zip_flags_t where : {ZIP_FL_CENTRAL, ZIP_FL_LOCAL}) {
        zip_uint16_t length = 0;
        const zip_uint8_t* field =
            zip_file_extra_field_get_by_id(existing, entry, kExtendedTimeId, 0, &length, where);
        if (std::optional<int64_t> time = parseExtendedTime(field, length)) {
            return !fileIsNewer(job.mtime, *time, true);
        }
    }
    zip_stat_t st;
    if (zip_stat_index(existing, entry, 0, &st) != 0 || (st.valid & ZIP_STAT_MTIME) == 0) {
        return false;
    }
    return !fileIsNewer(job.mtime, st.mtime, false);
}

void ArchiveRun::collectFiles(int32_t count, char** names) {
    std::map<std::string, std::string> pathOfEntry;
    std::set<std::string> listedPaths;
    for (int32_t i = 0; i < count; ++i) {
        FileJob job;
        job.given = names[i] != nullptr ? names[i] : "";
        job.openPath = openPathFor(job.given, options_.rootDir);
        struct stat info {};
        FileProblem problem;
        int fd = openListedFile(job.openPath, info, problem);
        if (fd < 0) {
            skip(job.given, problem.reason);
            continue;
        }
        ::close(fd);

        std::string samePath = normalizePath(job.openPath);
        if (!listedPaths.insert(samePath).second) {
            if (options_.verbose) {
                print("  doppelt: " + job.given + "\n");
            }
            continue;
        }
        job.entryName = entryNameFor(job.openPath, options_.rootDir);
        if (!options_.dosNames && !pathOfEntry.emplace(job.entryName, samePath).second) {
            skip(job.given, "Name im Archiv schon vergeben: " + job.entryName);
            continue;
        }
        job.size = static_cast<uint64_t>(info.st_size);
        job.mtime = info.st_mtim.tv_sec;
        job.mode = info.st_mode;
        job.signature = signatureOf(info);
        jobs_.push_back(std::move(job));
    }
}

void ArchiveRun::assignDosNames(zip_t* existing) {
    if (!options_.dosNames) {
        return;
    }
    DosNameTable table;
    std::map<std::string, std::string> shortNameOf;
    const zip_int64_t count = existing != nullptr ? zip_get_num_entries(existing, 0) : 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* name = zip_get_name(existing, index, ZIP_FL_ENC_RAW);
        if (name == nullptr) {
            continue;
        }
        table.take(name);
        zip_uint16_t length = 0;
        const zip_uint8_t* field = zip_file_extra_field_get_by_id(existing, index, kLongNameId, 0,
                                                                  &length, ZIP_FL_CENTRAL);
        if (field != nullptr) {
            shortNameOf.emplace(std::string(reinterpret_cast<const char*>(field), length), name);
        }
    }
    for (FileJob& job : jobs_) {
        job.longName = job.entryName;
        auto known = shortNameOf.find(job.longName);
        if (known != shortNameOf.end()) {
            job.entryName = known->second;
            // A second file of that long name (one outside the root) gets a name of its own.
            shortNameOf.erase(known);
        } else {
            job.entryName = table.unique(dosEntryName(job.longName));
        }
    }
}

void ArchiveRun::matchExisting(zip_t* existing) {
    std::vector<FileJob> kept;
    kept.reserve(jobs_.size());
    for (FileJob& job : jobs_) {
        const int64_t index = locateEntry(existing, job.entryName);
        job.replaces = index >= 0;
        if (job.replaces && options_.update && isUnchanged(job, existing, index)) {
            if (options_.verbose) {
                print("  unverändert: " + job.entryName + "\n");
            }
            continue;
        }
        kept.push_back(std::move(job));
    }
    jobs_ = std::move(kept);
}

void ArchiveRun::chooseEncryption(zip_t* existing) {
    aesStrength_ = encryption_ == ZP_ENCRYPT_AES256 ? kAes256 : 0;
    if (existing == nullptr || !password_) {
        return;
    }
    std::set<std::string> replaced;
    for (const FileJob& job : jobs_) {
        if (job.replaces) {
            replaced.insert(job.entryName);
        }
    }
    std::set<zip_uint16_t> methods;
    const zip_int64_t count = zip_get_num_entries(existing, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(existing, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &st) != 0 ||
            (st.valid & ZIP_STAT_ENCRYPTION_METHOD) == 0 || st.encryption_method == ZIP_EM_NONE ||
            (st.name != nullptr && replaced.count(st.name) != 0)) {
            continue;
        }
        methods.insert(st.encryption_method);
    }
    if (methods.empty()) {
        return;
    }
    const zip_uint16_t chosen = libzipMethod(aesStrength_);
    if (methods.size() == 1 && strengthOf(*methods.begin()) >= 0) {
        if (*methods.begin() != chosen) {
            aesStrength_ = strengthOf(*methods.begin());
            print("Hinweis: Die Einträge des Archivs " + archivePath_ + " sind mit " +
                  methodName(*methods.begin()) + " verschlüsselt; die neuen werden es ebenso, " +
                  "nicht mit " + methodName(chosen) + ", damit das Archiv bei einem Verfahren " +
                  "bleibt.\n");
        }
        return;
    }
    std::string found;
    for (zip_uint16_t method : methods) {
        found += (found.empty() ? "" : " und ") + methodName(method);
    }
    print("Hinweis: Das Archiv " + archivePath_ + " mischt Verschlüsselungsverfahren: seine " +
          "Einträge sind mit " + found + " verschlüsselt, die neuen mit " + methodName(chosen) +
          ".\n");
}

zip_t* ArchiveRun::openWhileCollecting(int32_t count, char** names, zip_error_t& error) {
    ArchivePtr existing;
    auto open = [&] {
        try {
            existing.reset(openArchive(error));
        } catch (const std::bad_alloc&) {
            zip_error_set(&error, ZIP_ER_MEMORY, 0);
        }
    };
    // Joined on every way out: the reader writes to existing and error.
    struct Reader {
        std::thread thread;
        ~Reader() { joinIfRunning(thread); }
    } reader;
    try {
        reader.thread = std::thread(open);
    } catch (const std::system_error&) {
        open();
    }
    // What the checks say waits until the archive is known to be readable.
    deferPrints_ = true;
    collectFiles(count, names);
    deferPrints_ = false;
    joinIfRunning(reader.thread);
    return existing.release();
}

void ArchiveRun::archived(FileJob& job, const CompressPipeline::Delivered& delivered) {
    // A file written again after another was dropped may have changed meanwhile.
    job.crc = delivered.crc;
    job.writtenSize = delivered.size;
    if (job.reported) {
        return;
    }
    job.reported = true;
    ++written_;
    if (!options_.quiet) {
        uint64_t saved = 0;
        if (delivered.size > 0 && delivered.dataSize < delivered.size) {
            saved = (delivered.size - delivered.dataSize) * 100 / delivered.size;
        }
        std::string how = delivered.stored ? "gespeichert" : "gepackt";
        print("  " + std::string(job.replaces ? "aktualisiert" : "hinzugefügt") + ": " +
              job.entryName + " (" + how + " " + std::to_string(saved) + "%)\n");
    }
    if (callbacks_.service != nullptr) {
        auto size = static_cast<int32_t>(std::min<uint64_t>(delivered.size, INT32_MAX));
        if (callbacks_.service(job.given.c_str(), size) != 0) {
            cancelled_ = true;
        }
    }
}

void ArchiveRun::unreadable(FileJob& job, const FileProblem& problem) {
    if (problem.readAgain && !job.changedOnce) {
        job.changedOnce = true;
        readAgain_.push_back(&job);
        return;
    }
    job.dropped = true;
    skip(job.given, problem.reason);
}

void ArchiveRun::takeChangedFilesAsTheyAre() {
    for (FileJob* job : readAgain_) {
        struct stat info {};
        FileProblem problem;
        const int fd = openListedFile(job->openPath, info, problem);
        if (fd >= 0) {
            ::close(fd);
            if (static_cast<uint64_t>(info.st_size) == job->size) {
                job->signature = signatureOf(info);
                job->mtime = info.st_mtim.tv_sec;
                continue;
            }
            problem = changedWhileRead();
        }
        job->dropped = true;
        skip(job->given, problem.reason);
    }
    readAgain_.clear();
}

ArchiveRun::Outcome ArchiveRun::writeOnce(zip_t* opened) {
    // libzip calls the sources until it lets go of the archive: they outlive it.
    std::vector<std::unique_ptr<EntrySource>> sources;
    zip_error_t error;
    zip_error_init(&error);
    ArchivePtr archive(opened != nullptr ? opened : openArchive(error));
    if (!archive) {
        writeError_ = zipReason(error);
        bool damaged = zip_error_code_zip(&error) == ZIP_ER_NOZIP ||
                       zip_error_code_zip(&error) == ZIP_ER_INCONS;
        zip_error_fini(&error);
        return damaged ? Outcome::Damaged : Outcome::WriteFailed;
    }
    zip_error_fini(&error);

    // libzip writes kept entries first, then added ones in the order they were added: the
    // pipeline compresses them in that order. A replaced entry is removed and added anew at the
    // end, so that list order and writing order stay one.
    std::vector<FileJob*> order;
    write_.trueNames.clear();
    for (FileJob& job : jobs_) {
        if (job.dropped) {
            continue;
        }
        if (job.replaces) {
            const int64_t old = locateEntry(archive.get(), job.entryName);
            // A second entry under the same bytes is never written.
            if (old >= 0 && zip_delete(archive.get(), static_cast<zip_uint64_t>(old)) != 0) {
                job.dropped = true;
                skip(job.given, zipReason(archive.get()));
                continue;
            }
        }
        auto source = std::make_unique<EntrySource>(*this, job, password_ ? aesStrength_ : 0);
        zip_source_t* handle = source->create(archive.get());
        if (handle == nullptr) {
            writeError_ = zipReason(archive.get());
            return Outcome::WriteFailed;
        }
        std::string standIn;
        const int64_t added = addEntry(archive.get(), job.entryName, handle, standIn);
        if (added < 0) {
            zip_source_free(handle);
            job.dropped = true;
            skip(job.given, zipReason(archive.get()));
            continue;
        }
        if (!standIn.empty()) {
            write_.trueNames.emplace(std::move(standIn), job.entryName);
        }
        sources.push_back(std::move(source));
        order.push_back(&job);
        // An archive less protected than asked is no archive to write.
        if (!describeEntry(archive.get(), static_cast<zip_uint64_t>(added), job)) {
            writeError_ = "Verschlüsselung nicht möglich: " + zipReason(archive.get());
            return Outcome::WriteFailed;
        }
    }
    if (comment_) {
        setComment(archive.get());
    }
    if (order.empty() &&
        !(comment_ && keepExisting_ && zip_get_num_entries(archive.get(), 0) > 0)) {
        return Outcome::NothingWritten;
    }
    zip_register_cancel_callback_with_state(archive.get(), &cancelCallback, nullptr, this);

    std::optional<AesPlan> aes;
    if (password_ && aesStrength_ > 0) {
        aes = AesPlan{password_, aesStrength_};
    }
    CompressPipeline pipeline(order, options_.level, tuning_, aes);
    for (size_t i = 0; i < sources.size(); ++i) {
        sources[i]->attach(pipeline, i);
    }
    try {
        pipeline.start();
    } catch (const std::system_error& e) {
        writeError_ = "Arbeitsthreads können nicht gestartet werden: " + exceptionReason(e);
        return Outcome::WriteFailed;
    }
    insideError_.clear();
    if (zip_close(archive.get()) == 0) {
        archive.release();  // zip_close has freed it
        return Outcome::Written;
    }
    writeError_ = insideError_.empty() ? zipReason(archive.get()) : insideError_;
    if (cancelled_) {
        return Outcome::Cancelled;
    }
    bool failedFile = std::any_of(sources.begin(), sources.end(),
                                  [](const auto& source) { return source->failed(); });
    return failedFile && insideError_.empty() ? Outcome::WriteAgain : Outcome::WriteFailed;
}

bool ArchiveRun::describeEntry(zip_t* archive, zip_uint64_t index, const FileJob& job) {
    if (password_ && aesStrength_ == 0 &&
        zip_file_set_encryption(archive, index, ZIP_EM_TRAD_PKWARE, password_->text().c_str()) !=
            0) {
        return false;
    }
    // The entry source hands libzip the data encrypted: libzip only frames it.
    if (password_ && aesStrength_ > 0 &&
        zip_file_set_encryption(archive, index, libzipMethod(aesStrength_), nullptr) != 0) {
        return false;
    }
    const auto field = extendedTimeField(job.mtime);
    zip_file_extra_field_set(archive, index, kExtendedTimeId, ZIP_EXTRA_FIELD_NEW, field.data(),
                             static_cast<zip_uint16_t>(field.size()),
                             ZIP_FL_LOCAL | ZIP_FL_CENTRAL);
    if (options_.dosNames) {
        if (job.longName.size() < UINT16_MAX / 2) {
            zip_file_extra_field_set(archive, index, kLongNameId, ZIP_EXTRA_FIELD_NEW,
                                     reinterpret_cast<const zip_uint8_t*>(job.longName.data()),
                                     static_cast<zip_uint16_t>(job.longName.size()),
                                     ZIP_FL_CENTRAL);
        }
        uint8_t attributes = kDosArchiveBit;
        if ((job.mode & S_IWUSR) == 0) {
            attributes |= kDosReadOnlyBit;
        }
        zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_DOS, attributes);
    } else {
        zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                         (job.mode & 0xFFFFu) << 16);
    }
    return true;
}

// libzip refuses comments that are not UTF-8 or hold control characters other than CR, LF and
// TAB. Such a comment reaches libzip with those bytes as "?", and the archive file writes the true
// bytes over them.
void ArchiveRun::setComment(zip_t* archive) {
    write_.comment.reset();
    const size_t length = std::min<size_t>(comment_->size(), UINT16_MAX);
    if (length == 0) {
        zip_set_archive_comment(archive, nullptr, 0);
        return;
    }
    const auto size = static_cast<zip_uint16_t>(length);
    if (zip_set_archive_comment(archive, comment_->c_str(), size) == 0) {
        return;
    }
    std::string standIn = comment_->substr(0, length);
    for (char& c : standIn) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\r' && byte != '\n' && byte != '\t') || byte >= 0x7F) {
            c = '?';
        }
    }
    zip_set_archive_comment(archive, standIn.c_str(), size);
    write_.comment = comment_->substr(0, length);
}

bool ArchiveRun::syncArchive() {
    // Without a commit libzip has written nothing.
    const int error = sync_.started() ? sync_.wait() : ENOENT;
    closeInBackground(sync_.takeReplaced());
    if (error != 0) {
        archiveProblem("kann nicht gesichert werden", systemReason(error));
        return false;
    }
    return true;
}

void ArchiveRun::recordWritten() {
    WrittenArchive& written = threadState().written;
    if (!keepExisting_ || written.path != archivePath_ || written.device != existingDevice_ ||
        written.inode != existingInode_) {
        written = WrittenArchive{archivePath_, 0, 0, {}};
    }
    struct stat info {};
    if (::stat(archivePath_.c_str(), &info) == 0) {
        written.device = info.st_dev;
        written.inode = info.st_ino;
    }
    std::set<std::string> names;
    for (const FileJob& job : jobs_) {
        if (!job.dropped && job.reported) {
            names.insert(job.entryName);
        }
    }
    std::erase_if(written.entries,
                  [&](const WrittenEntry& entry) { return names.count(entry.name) != 0; });
    for (const FileJob& job : jobs_) {
        if (!job.dropped && job.reported) {
            written.entries.push_back({job.entryName, job.crc, job.writtenSize,
                                       password_ != nullptr, aesStrength_, password_, job.aesKeys});
        }
    }
}

int32_t ArchiveRun::execute(const char* archivePath, int32_t count, char** names) {
    archivePath_ = archivePath;
    keepExisting_ = options_.grow || options_.update;
    if (!checkArchivePlace()) {
        return ZP_ERR_ARCHIVE_WRITE;
    }
    ArchivePtr existing;
    if (keepExisting_) {
        // Reading a large archive's directory overlaps with checking the listed files.
        zip_error_t error;
        zip_error_init(&error);
        existing.reset(openWhileCollecting(count, names, error));
        if (!existing) {
            bool nozip = zip_error_code_zip(&error) == ZIP_ER_NOZIP ||
                         zip_error_code_zip(&error) == ZIP_ER_INCONS;
            archiveProblem("kann nicht gelesen werden", zipReason(error));
            zip_error_fini(&error);
            return nozip ? ZP_ERR_ARCHIVE_DAMAGED : ZP_ERR_ARCHIVE_WRITE;
        }
        zip_error_fini(&error);
    }
    if (options_.encrypt && !askPassword()) {
        return ZP_ERR_PARAMETER;
    }
    if (existing) {
        std::vector<std::string> checked = std::move(deferred_);
        deferred_.clear();
        for (const std::string& line : checked) {
            print(line);
        }
        assignDosNames(existing.get());
        matchExisting(existing.get());
    } else {
        collectFiles(count, names);
        assignDosNames(nullptr);
    }
    chooseEncryption(existing.get());
    if (options_.comment) {
        askComment();
    }
    if (tuning_.beforeWrite) {
        tuning_.beforeWrite();
    }

    for (;;) {
        // The first pass writes through the archive already read: reading a large central
        // directory once per run is what a grow costs.
        Outcome outcome = writeOnce(existing.release());
        switch (outcome) {
            case Outcome::WriteAgain:
                takeChangedFilesAsTheyAre();
                continue;
            case Outcome::Written:
                if (!syncArchive()) {
                    return ZP_ERR_ARCHIVE_WRITE;
                }
                recordWritten();
                break;
            case Outcome::NothingWritten:
                recordWritten();
                break;
            case Outcome::Cancelled:
                archiveProblem("nicht geschrieben", "abgebrochen");
                return ZP_ERR_ARCHIVE_WRITE;
            case Outcome::Damaged:
                archiveProblem("kann nicht gelesen werden", writeError_);
                return ZP_ERR_ARCHIVE_DAMAGED;
            case Outcome::WriteFailed:
                archiveProblem("kann nicht geschrieben werden", writeError_);
                return ZP_ERR_ARCHIVE_WRITE;
        }
        break;
    }
    if (options_.verbose) {
        print(std::to_string(written_) + " Datei(en) archiviert, " + std::to_string(skipped_) +
              " übersprungen: " + archivePath_ + "\n");
    }
    return skipped_ > 0 ? ZP_ERR_FILE_READ : ZP_OK;
}

}  // namespace zip32
