#include "platform/zipengine/EntrySource.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/zipengine/EntryTime.h"
#include "platform/zipengine/ZipReason.h"

namespace zip32 {

namespace {

zip_uint16_t aesMethod(int strength) {
    return strength == 1 ? ZIP_EM_AES_128 : strength == 2 ? ZIP_EM_AES_192 : ZIP_EM_AES_256;
}

}  // namespace

EntrySource::EntrySource(EntryListener& listener, FileJob& job, int aesStrength)
    : listener_(listener), job_(job), aesStrength_(aesStrength) {
    zip_error_init(&error_);
}

EntrySource::~EntrySource() {
    zip_error_fini(&error_);
}

void EntrySource::attach(CompressPipeline& pipeline, size_t index) {
    pipeline_ = &pipeline;
    index_ = index;
}

zip_source_t* EntrySource::create(zip_t* archive) {
    return zip_source_function(archive, &EntrySource::callback, this);
}

zip_int64_t EntrySource::callback(void* state, void* data, zip_uint64_t length,
                                  zip_source_cmd_t command) {
    auto* source = static_cast<EntrySource*>(state);
    // Nothing may unwind through libzip's C frames.
    try {
        return source->handle(data, length, command);
    } catch (const std::bad_alloc&) {
        zip_error_set(&source->error_, ZIP_ER_MEMORY, 0);
    } catch (const std::exception& error) {
        zip_error_set(&source->error_, ZIP_ER_INTERNAL, 0);
        try {
            source->listener_.failedInside(exceptionReason(error));
        } catch (...) {
        }
    } catch (...) {
        zip_error_set(&source->error_, ZIP_ER_INTERNAL, 0);
    }
    return -1;
}

zip_int64_t EntrySource::unreadable() {
    failed_ = true;
    FileProblem problem = pipeline_->problem(index_);
    listener_.unreadable(job_, problem);
    zip_error_set(&error_, ZIP_ER_READ, problem.error);
    return -1;
}

zip_int64_t EntrySource::open() {
    if (listener_.cancelled()) {
        zip_error_set(&error_, ZIP_ER_CANCELLED, 0);
        return -1;
    }
    if (pipeline_ == nullptr) {
        zip_error_set(&error_, ZIP_ER_INTERNAL, 0);
        return -1;
    }
    if (!pipeline_->open(index_)) {
        return unreadable();
    }
    if (aesStrength_ > 0) {
        keys_ = pipeline_->keys(index_);
        aes_ = std::make_unique<AesStream>(*keys_);
        const size_t saltSize = aesSaltSize(aesStrength_);
        before_.assign(keys_->salt.begin(), keys_->salt.begin() + saltSize);
        before_.insert(before_.end(), keys_->verifier.begin(), keys_->verifier.end());
        beforeRead_ = 0;
        dataEnded_ = false;
    }
    return 0;
}

// Salt and verification value, the data encrypted as it comes, then the code over it.
zip_int64_t EntrySource::readEncrypted(uint8_t* data, zip_uint64_t length) {
    if (beforeRead_ == before_.size() && !dataEnded_) {
        const zip_int64_t n = pipeline_->read(index_, data, length);
        if (n < 0) {
            return unreadable();
        }
        if (n > 0) {
            aes_->encrypt(data, static_cast<size_t>(n));
            return n;
        }
        dataEnded_ = true;
        const auto code = aes_->code();
        before_.assign(code.begin(), code.end());
        beforeRead_ = 0;
    }
    const auto n =
        static_cast<size_t>(std::min<zip_uint64_t>(length, before_.size() - beforeRead_));
    std::memcpy(data, before_.data() + beforeRead_, n);
    beforeRead_ += n;
    return static_cast<zip_int64_t>(n);
}

zip_int64_t EntrySource::handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
        case ZIP_SOURCE_OPEN:
            return open();
        case ZIP_SOURCE_READ: {
            if (aes_) {
                return readEncrypted(static_cast<uint8_t*>(data), length);
            }
            zip_int64_t n = pipeline_->read(index_, data, length);
            return n < 0 ? unreadable() : n;
        }
        case ZIP_SOURCE_CLOSE:
            delivered_ = pipeline_->finish(index_);
            closed_ = true;
            aes_.reset();
            if (!failed_) {
                job_.aesKeys = keys_;
                listener_.archived(job_, delivered_);
            }
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
            if (st == nullptr) {
                return -1;
            }
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME | ZIP_STAT_COMP_METHOD;
            if (aesStrength_ > 0) {
                // Already encrypted: libzip copies it as it is.
                st->valid |= ZIP_STAT_ENCRYPTION_METHOD;
                st->encryption_method = aesMethod(aesStrength_);
            }
            st->mtime = static_cast<time_t>(clampToDosRange(job_.mtime));
            if (closed_ && !failed_) {
                st->valid |= ZIP_STAT_CRC;
                st->size = delivered_.size;
                st->crc = delivered_.crc;
                st->comp_method = delivered_.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
            } else {
                st->size = job_.size;
                st->comp_method = ZIP_CM_DEFLATE;
            }
            return sizeof(*st);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&error_, data, length);
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

}  // namespace zip32
