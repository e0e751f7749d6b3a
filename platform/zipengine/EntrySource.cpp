#include "platform/zipengine/EntrySource.h"

#include <new>

#include "platform/zipengine/EntryTime.h"
#include "platform/zipengine/ZipReason.h"

namespace zip32 {

EntrySource::EntrySource(EntryListener& listener, FileJob& job) : listener_(listener), job_(job) {
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

zip_int64_t EntrySource::handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
        case ZIP_SOURCE_OPEN:
            if (listener_.cancelled()) {
                zip_error_set(&error_, ZIP_ER_CANCELLED, 0);
                return -1;
            }
            if (pipeline_ == nullptr) {
                zip_error_set(&error_, ZIP_ER_INTERNAL, 0);
                return -1;
            }
            return pipeline_->open(index_) ? 0 : unreadable();
        case ZIP_SOURCE_READ: {
            zip_int64_t n = pipeline_->read(index_, data, length);
            return n < 0 ? unreadable() : n;
        }
        case ZIP_SOURCE_CLOSE:
            delivered_ = pipeline_->finish(index_);
            closed_ = true;
            if (!failed_) {
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
