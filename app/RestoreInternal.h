#pragma once
// What the catalog and the run share inside the restore library.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Restore.h"
#include "app/StateRecord.h"
#include "app/WipeText.h"

namespace Restore {

struct Catalog::Data {
    std::vector<ArchiveInfo> archives;
    QStringList skipped;
    // Every path once, in byte order, in one pool: a million entries of a few thousand paths each
    // cost their versions, not their names again.
    struct PathRef {
        size_t offset;
        uint32_t length;
    };
    std::string pool;
    std::vector<PathRef> paths;
    std::vector<Version> versions;  // grouped by path, the newest first
    std::vector<uint32_t> first;    // versions of path i: [first[i], first[i + 1])
    std::string_view Path(size_t id) const;
};

/// The caller's password source, asked at most once.
class CachedPassword {
public:
    explicit CachedPassword(const PasswordSource& source) : source_(source) {}
    ~CachedPassword();
    CachedPassword(const CachedPassword&) = delete;
    CachedPassword& operator=(const CachedPassword&) = delete;
    std::optional<QByteArray> Get();

private:
    const PasswordSource& source_;
    bool asked_ = false;
    std::optional<QByteArray> value_;
};

/// The archive's state record, read and parsed; fails saying which record and why.
Result<StateRecord::Parsed> ReadRecord(const ArchiveInfo& archive, CachedPassword& password);

}  // namespace Restore
