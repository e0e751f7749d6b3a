#pragma once
// The libzip source of one file: a lazy source that hands libzip the pipeline's data as it is,
// already deflated (or stored), so libzip only frames it, encrypts it (traditionally) and writes
// it. Under WinZip AES the source encrypts the data itself, with the keys the pipeline made, and
// says so, so that libzip writes it as it comes: salt, verification value, data, code.
//
// libzip asks for the method twice: before the data, where "deflated" keeps it from compressing
// again, and after the data, where the true method (stored when deflate did not shrink the file),
// the size and the CRC go into the rewritten header.

#include <zip.h>

#include <memory>
#include <vector>

#include "platform/zipengine/CompressPipeline.h"

namespace zip32 {

// What the run hears from its sources, on the calling thread, in list order.
class EntryListener {
public:
    virtual ~EntryListener() = default;
    virtual void archived(FileJob& job, const CompressPipeline::Delivered& delivered) = 0;
    virtual void unreadable(FileJob& job, const FileProblem& problem) = 0;
    // A failure of the engine itself (not of the file) while the job was written: the archive
    // cannot be written, for this reason.
    virtual void failedInside(const std::string& reason) = 0;
    virtual bool cancelled() const = 0;
};

class EntrySource {
public:
    // aesStrength: 0, or the strength of the WinZip AES the source encrypts with.
    EntrySource(EntryListener& listener, FileJob& job, int aesStrength = 0);
    ~EntrySource();
    EntrySource(const EntrySource&) = delete;
    EntrySource& operator=(const EntrySource&) = delete;

    // The source's place in the pipeline; set before libzip reads it.
    void attach(CompressPipeline& pipeline, size_t index);
    zip_source_t* create(zip_t* archive);
    bool failed() const { return failed_; }
    FileJob& job() const { return job_; }

private:
    static zip_int64_t callback(void* state, void* data, zip_uint64_t length,
                                zip_source_cmd_t command);
    zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command);
    zip_int64_t unreadable();
    zip_int64_t open();
    zip_int64_t readEncrypted(uint8_t* data, zip_uint64_t length);

    EntryListener& listener_;
    FileJob& job_;
    CompressPipeline* pipeline_ = nullptr;
    size_t index_ = 0;
    zip_error_t error_;
    bool closed_ = false;
    bool failed_ = false;
    CompressPipeline::Delivered delivered_;
    const int aesStrength_;
    std::shared_ptr<const AesKeys> keys_;
    std::unique_ptr<AesStream> aes_;
    std::vector<uint8_t> before_;  // salt and verification value, then the code: not yet read
    size_t beforeRead_ = 0;
    bool dataEnded_ = false;
};

}  // namespace zip32
