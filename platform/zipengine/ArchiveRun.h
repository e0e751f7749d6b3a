#pragma once
// One call of ZpArchive: checks the archive's place and the listed files, asks for the password and
// the comment, adds the files to libzip through lazy sources and writes the archive while the
// pipeline compresses ahead. A file that fails while it is written is dropped and the archive is
// written again without it; the result then tells that a file was skipped.

#include <zip.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/zipengine/ArchiveCommit.h"
#include "platform/zipengine/ArchiveSync.h"
#include "platform/zipengine/EngineState.h"
#include "platform/zipengine/EntrySource.h"

namespace zip32 {

class ArchiveRun final : public EntryListener {
public:
    // encryption: ZP_ENCRYPT_TRADITIONAL or ZP_ENCRYPT_AES256, for runs that encrypt.
    ArchiveRun(const ZpCallbacks& callbacks, const RunOptions& options, int32_t encryption,
               const Tuning& tuning);

    // Returns one of the ZP_ codes.
    int32_t execute(const char* archivePath, int32_t count, char** names);

    void archived(FileJob& job, const CompressPipeline::Delivered& delivered) override;
    void unreadable(FileJob& job, const FileProblem& problem) override;
    void failedInside(const std::string& reason) override { insideError_ = reason; }
    bool cancelled() const override { return cancelled_; }

private:
    // WriteAgain: a file could not be read whole; it is left out, or read once more.
    enum class Outcome { Written, NothingWritten, WriteAgain, Cancelled, WriteFailed, Damaged };

    void print(const std::string& line);
    void skip(const std::string& given, const std::string& reason);
    void archiveProblem(const std::string& what, const std::string& reason);
    bool checkArchivePlace();
    zip_t* openArchive(zip_error_t& error);
    bool askPassword();
    void askComment();
    void collectFiles(int32_t count, char** names);
    // Under DOS names: short names unique against the existing entries too, except that a file
    // keeps the short name an earlier run gave it.
    void assignDosNames(zip_t* existing);
    // Marks the jobs whose entries exist; under update drops those whose files are unchanged.
    void matchExisting(zip_t* existing);
    // The method the new entries are encrypted with: the chosen one, or that of the encrypted
    // entries the archive keeps; a note says when the archive would otherwise mix methods.
    void chooseEncryption(zip_t* existing);
    // Opens the existing archive on a thread of its own while the files are collected; nullptr
    // with error set when it cannot be read. Messages of the checks wait in deferred_.
    zip_t* openWhileCollecting(int32_t count, char** names, zip_error_t& error);
    bool isUnchanged(const FileJob& job, zip_t* existing, zip_int64_t index);
    // The files that changed while they were written, as they are now, for the next pass; a file
    // whose size changed too is left out.
    void takeChangedFilesAsTheyAre();
    // Takes over opened (the archive as read for the checks), or opens the archive itself when
    // it is nullptr.
    Outcome writeOnce(zip_t* opened);
    // False when the entry cannot be encrypted as asked.
    bool describeEntry(zip_t* archive, zip_uint64_t index, const FileJob& job);
    void setComment(zip_t* archive);
    bool syncArchive();
    // Adds what this run wrote to what the thread's runs wrote into the archive.
    void recordWritten();

    const ZpCallbacks& callbacks_;
    const RunOptions& options_;
    const int32_t encryption_;
    const Tuning& tuning_;
    std::string archivePath_;
    bool keepExisting_ = false;
    bool existingIsEmpty_ = false;  // an empty file is taken as an empty archive
    uint64_t existingDevice_ = 0;   // the archive's file at the start, if there was one
    uint64_t existingInode_ = 0;
    std::shared_ptr<const Password> password_;  // none: no encryption
    int aesStrength_ = 0;                       // 0: the traditional method, else WinZip AES
    std::optional<std::string> comment_;
    std::vector<FileJob> jobs_;
    size_t skipped_ = 0;
    size_t written_ = 0;
    bool cancelled_ = false;
    std::string writeError_;
    std::string insideError_;          // the engine's own failure, rather than libzip's word
    std::vector<FileJob*> readAgain_;  // changed while written: read again by the next pass
    bool deferPrints_ = false;
    std::vector<std::string> deferred_;
    WriteSettings write_;
    ArchiveSync sync_;  // the archive sources' commits hand it the written archive
};

}  // namespace zip32
