// The catalog and the plan: the archives' directories read once into one byte pool, and what
// comes back at a moment.
#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>

#include "app/EngineReader.h"
#include "app/NativePath.h"
#include "app/OwnFiles.h"
#include "app/Restore.h"
#include "app/RestoreInternal.h"
#include "app/StateRecord.h"
#include "app/modBackup.h"

namespace Restore {

namespace {

void NoteProblem(void* context, const char* /*entry*/, const char* reason) {
    auto* sReason = static_cast<QString*>(context);
    if (sReason->isEmpty()) {
        *sReason = QString::fromUtf8(reason);
    }
}

// "20261207_1405 Backup (3).zip": the minute and 3; none for "(fehlerhaft)" or other names.
std::optional<std::pair<QDateTime, int>> MomentOf(const QString& sName) {
    if (!OwnFiles::IsArchiveName(sName) || sName.contains(QStringLiteral("(fehlerhaft)"))) {
        return std::nullopt;
    }
    const QDateTime moment = QDateTime::fromString(sName.left(13), QStringLiteral("yyyyMMdd_HHmm"));
    if (!moment.isValid()) {
        return std::nullopt;
    }
    int number = 1;
    const QString sRest = sName.mid(20).chopped(4);  // "" or " (3)"
    if (!sRest.isEmpty()) {
        number = sRest.mid(2).chopped(1).toInt();
    }
    return std::make_pair(moment, number);
}

int64_t CompareKey(const QByteArray& a, std::string_view b) {
    return std::string_view(a.constData(), static_cast<size_t>(a.size())).compare(b);
}

bool Below(std::string_view path, const QByteArray& folder) {
    if (folder == "/") {
        return true;
    }
    const std::string_view f(folder.constData(), static_cast<size_t>(folder.size()));
    return path == f ||
           (path.size() > f.size() && path.substr(0, f.size()) == f && path[f.size()] == '/');
}

}  // namespace

std::optional<QByteArray> CachedPassword::Get() {
    if (!asked_) {
        asked_ = true;
        if (source_) {
            value_ = source_();
        }
    }
    return value_;
}

CachedPassword::~CachedPassword() {
    if (value_) {
        WipeBytes(*value_);
    }
}

Result<StateRecord::Parsed> ReadRecord(const ArchiveInfo& archive, CachedPassword& password) {
    const auto failed = [&archive](const QString& sReason) {
        return Failure{QStringLiteral("Der Zustand „%1“ kann nicht gelesen werden: %2")
                           .arg(DisplayPath(archive.sRecordPath), sReason)};
    };
    QString sProblem;
    ZpReader* reader = nullptr;
    if (EngineReader::Open(NativePath(archive.sRecordPath).constData(), &reader, &NoteProblem,
                           &sProblem) != ZP_OK) {
        return failed(sProblem);
    }
    struct Close {
        ZpReader* reader;
        ~Close() { EngineReader::Close(reader); }
    } close{reader};
    if (EngineReader::Count(reader) != 1) {
        return failed(QStringLiteral("er enthält nicht genau einen Eintrag"));
    }
    QByteArray key;
    if (EngineReader::At(reader, 0)->encryption >= 0) {
        const std::optional<QByteArray> given = password.Get();
        if (!given || given->isEmpty()) {
            return failed(QStringLiteral("Passwort fehlt"));
        }
        key = *given;
    }
    // The engine hands one context to both callbacks: the text, with the reason kept apart.
    struct Both {
        QByteArray text;
        QString sProblem;
    } both;
    const int32_t result = EngineReader::Extract(
        reader, 0, key.isEmpty() ? nullptr : key.constData(),
        [](void* context, const void* data, uint64_t length) -> int32_t {
            static_cast<Both*>(context)->text.append(static_cast<const char*>(data),
                                                     static_cast<qsizetype>(length));
            return 0;
        },
        [](void* context, const char*, const char* reason) {
            auto* b = static_cast<Both*>(context);
            if (b->sProblem.isEmpty()) {
                b->sProblem = QString::fromUtf8(reason);
            }
        },
        &both);
    WipeBytes(key);
    if (result != ZP_OK) {
        return failed(both.sProblem.isEmpty() ? QStringLiteral("Fehler %1").arg(result)
                                              : both.sProblem);
    }
    Result<StateRecord::Parsed> parsed = StateRecord::Parse(both.text);
    if (!parsed) {
        return failed(parsed.Reason());
    }
    return parsed;
}

QStringList DefaultFolders() {
    QStringList candidates{modBackup::ReadDefaultPath()};
    for (const QString& sArchive : OwnFiles::RecordedArchives()) {
        candidates.append(QFileInfo(sArchive).absolutePath());
    }
    QStringList folders;
    for (const QString& sFolder : candidates) {
        const QString sClean = QDir::cleanPath(sFolder);
        struct stat st {};
        if (!sClean.isEmpty() && !folders.contains(sClean) &&
            ::stat(NativePath(sClean).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
            folders.append(sClean);
        }
    }
    return folders;
}

Catalog::Catalog() : data_(std::make_unique<Data>()) {}
Catalog::~Catalog() = default;
Catalog::Catalog(Catalog&&) noexcept = default;
Catalog& Catalog::operator=(Catalog&&) noexcept = default;

const std::vector<ArchiveInfo>& Catalog::Archives() const {
    return data_->archives;
}

const QStringList& Catalog::Skipped() const {
    return data_->skipped;
}

Result<Catalog> Catalog::Read(const QStringList& folders) {
    Catalog catalog;
    Data& data = *catalog.data_;
    QStringList unreadable;
    std::vector<std::pair<QString, std::pair<QDateTime, int>>> found;
    for (const QString& sFolder : folders) {
        QDir dir(sFolder);
        if (!dir.exists() || !dir.isReadable()) {
            unreadable.append(DisplayPath(sFolder));
            data.skipped.append(QStringLiteral("„%1“ übersprungen: Der Ordner kann nicht gelesen "
                                               "werden.")
                                    .arg(DisplayPath(sFolder)));
            continue;
        }
        const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Name);
        for (const QString& sName : names) {
            const QString sPath = dir.absoluteFilePath(sName);
            if (const auto moment = MomentOf(sName)) {
                if (std::none_of(found.begin(), found.end(),
                                 [&sPath](const auto& f) { return f.first == sPath; })) {
                    found.emplace_back(sPath, *moment);
                }
            } else if (OwnFiles::IsArchiveName(sName)) {
                data.skipped.append(QStringLiteral("„%1“ übersprungen: Das Archiv hat seine "
                                                   "Prüfung nicht bestanden.")
                                        .arg(DisplayPath(sPath)));
            } else if (sName.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive)) {
                data.skipped.append(
                    QStringLiteral("„%1“ übersprungen: kein Archiv eines Sondrel-Backups.")
                        .arg(DisplayPath(sPath)));
            }
        }
    }
    if (!folders.isEmpty() && unreadable.size() == folders.size()) {
        return Failure{QStringLiteral("Kein Archivordner kann gelesen werden: %1")
                           .arg(unreadable.join(QStringLiteral(", ")))};
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second < b.second : a.first < b.first;
    });

    // Paths are gathered by name first and laid into the pool in byte order once all are known.
    std::unordered_map<std::string, uint32_t> idOf;
    std::vector<std::pair<uint32_t, Version>> versions;
    for (const auto& [sPath, moment] : found) {
        QString sProblem;
        ZpReader* reader = nullptr;
        if (EngineReader::Open(NativePath(sPath).constData(), &reader, &NoteProblem, &sProblem) !=
            ZP_OK) {
            data.skipped.append(
                QStringLiteral("„%1“ übersprungen: %2").arg(DisplayPath(sPath), sProblem));
            continue;
        }
        ArchiveInfo info;
        info.sPath = sPath;
        info.dtMoment = moment.first;
        info.iNumber = moment.second;
        const QString sRecord = StateRecord::PathFor(sPath);
        struct stat st {};
        if (::stat(NativePath(sRecord).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
            info.sRecordPath = sRecord;
        }
        const int iArchive = static_cast<int>(data.archives.size());
        const int64_t lCount = EngineReader::Count(reader);
        for (int64_t i = 0; i < lCount; ++i) {
            const ZpEntryInfo* entry = EngineReader::At(reader, i);
            if (entry == nullptr || entry->nameLength == 0 ||
                entry->name[entry->nameLength - 1] == '/') {
                continue;  // folders come back with their files
            }
            std::string path;
            path.reserve(entry->nameLength + 1);
            path += '/';
            path.append(entry->name, entry->nameLength);
            const auto [it, added] = idOf.try_emplace(std::move(path), 0);
            if (added) {
                it->second = static_cast<uint32_t>(idOf.size() - 1);
            }
            Version version;
            version.iArchive = iArchive;
            version.lEntry = i;
            version.lSize = entry->size;
            version.lCrc = entry->crc;
            version.lMtime = entry->mtime;
            version.lMode = entry->mode;
            version.bEncrypted = entry->encryption >= 0;
            info.bEncrypted = info.bEncrypted || version.bEncrypted;
            versions.emplace_back(it->second, version);
        }
        EngineReader::Close(reader);
        data.archives.push_back(std::move(info));
    }

    std::vector<const std::string*> byName(idOf.size());
    for (const auto& [path, id] : idOf) {
        byName[id] = &path;
    }
    std::vector<uint32_t> order(idOf.size());
    for (uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&byName](uint32_t a, uint32_t b) { return *byName[a] < *byName[b]; });
    std::vector<uint32_t> rank(order.size());
    size_t lPoolSize = 0;
    for (uint32_t r = 0; r < order.size(); ++r) {
        rank[order[r]] = r;
        lPoolSize += byName[order[r]]->size();
    }
    data.pool.reserve(lPoolSize);
    data.paths.reserve(order.size());
    for (const uint32_t id : order) {
        data.paths.push_back({data.pool.size(), static_cast<uint32_t>(byName[id]->size())});
        data.pool += *byName[id];
    }
    idOf.clear();
    for (auto& [id, version] : versions) {
        id = rank[id];
    }
    // Each path's versions together, the newest first.
    std::stable_sort(versions.begin(), versions.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second.iArchive > b.second.iArchive;
    });
    data.first.assign(data.paths.size() + 1, 0);
    data.versions.reserve(versions.size());
    for (const auto& [id, version] : versions) {
        ++data.first[id + 1];
        data.versions.push_back(version);
    }
    for (size_t i = 1; i < data.first.size(); ++i) {
        data.first[i] += data.first[i - 1];
    }
    return catalog;
}

std::string_view Catalog::Data::Path(size_t id) const {
    return std::string_view(pool).substr(paths[id].offset, paths[id].length);
}

std::vector<Version> Catalog::VersionsOf(const QByteArray& path) const {
    const Data& data = *data_;
    size_t lo = 0;
    size_t hi = data.paths.size();
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (CompareKey(path, data.Path(mid)) > 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == data.paths.size() || CompareKey(path, data.Path(lo)) != 0) {
        return {};
    }
    return std::vector<Version>(data.versions.begin() + data.first[lo],
                                data.versions.begin() + data.first[lo + 1]);
}

Result<Plan> Catalog::PlanAt(const QDateTime& dtAt, const QList<QByteArray>& paths, bool bDeleted,
                             const PasswordSource& password) const {
    const Data& data = *data_;
    Plan plan;
    plan.dtAt = dtAt;
    // Archives are oldest first: those at or before the moment are a prefix.
    int iLast = static_cast<int>(data.archives.size()) - 1;
    if (dtAt.isValid()) {
        while (iLast >= 0 && data.archives[static_cast<size_t>(iLast)].dtMoment > dtAt) {
            --iLast;
        }
    }
    int iRecord = iLast;
    while (iRecord >= 0 && data.archives[static_cast<size_t>(iRecord)].sRecordPath.isEmpty()) {
        --iRecord;
    }
    std::optional<StateRecord::Parsed> record;
    if (iRecord >= 0) {
        CachedPassword cached(password);
        Result<StateRecord::Parsed> read =
            ReadRecord(data.archives[static_cast<size_t>(iRecord)], cached);
        if (!read) {
            return Failure{read.Reason()};
        }
        record = std::move(*read);
        plan.bHasRecord = true;
        plan.sRecordPath = data.archives[static_cast<size_t>(iRecord)].sRecordPath;
    }
    QList<QByteArray> wanted;
    for (QByteArray path : paths) {
        while (path.size() > 1 && path.endsWith('/')) {
            path.chop(1);
        }
        wanted.append(path);
    }
    for (size_t id = 0; id < data.paths.size(); ++id) {
        const std::string_view path = data.Path(id);
        bool bAsked = wanted.isEmpty();
        for (qsizetype w = 0; w < wanted.size(); ++w) {
            if (Below(path, wanted[w])) {
                bAsked = true;
                break;
            }
        }
        if (!bAsked) {
            continue;
        }
        const Version* chosen = nullptr;
        for (uint32_t v = data.first[id]; v < data.first[id + 1]; ++v) {
            if (data.versions[v].iArchive <= iLast) {
                chosen = &data.versions[v];
                break;
            }
        }
        if (chosen == nullptr) {
            continue;
        }
        PlannedFile file;
        file.path = QByteArray(path.data(), static_cast<qsizetype>(path.size()));
        file.version = *chosen;
        // A version newer than the record was there after it: only the record's own moment, or
        // a later one, can tell that a file was gone.
        if (record && chosen->iArchive <= iRecord && record->Covers(file.path) &&
            !record->Lists(file.path)) {
            if (!bDeleted) {
                continue;
            }
            file.bDeleted = true;
        }
        plan.files.push_back(std::move(file));
    }
    // Asked for, but nothing below it was there by the moment.
    for (qsizetype w = 0; w < wanted.size(); ++w) {
        const QByteArray& path = wanted[w];
        const bool bAny = std::any_of(plan.files.begin(), plan.files.end(), [&path](const auto& f) {
            return Below(std::string_view(f.path.constData(), static_cast<size_t>(f.path.size())),
                         path);
        });
        if (!bAny) {
            plan.unmatched.append(path);
        }
    }
    return plan;
}

}  // namespace Restore
