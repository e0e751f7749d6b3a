#include "app/modRegistry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <QByteArray>
#include <QDir>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "app/NativePath.h"
#include "app/Result.h"
#include "platform/registrystore/RegistryStore.h"

namespace modRegistry {

namespace {

// Set by tests only, before any other thread uses the stores.
QString& OverridePath(RegRoot hRoot) {
    static QString user;
    static QString machine;
    return hRoot == HKEY_LOCAL_MACHINE ? machine : user;
}

// Each thread has its own connection to a store; SQLite keeps their transactions apart.
std::unique_ptr<RegistryStore>& Connection(RegRoot hRoot) {
    thread_local std::unique_ptr<RegistryStore> user;
    thread_local std::unique_ptr<RegistryStore> machine;
    return hRoot == HKEY_LOCAL_MACHINE ? machine : user;
}

RegistryStore* Store(RegRoot hRoot) {
    if (hRoot != HKEY_CURRENT_USER && hRoot != HKEY_LOCAL_MACHINE) {
        return nullptr;
    }
    std::unique_ptr<RegistryStore>& store = Connection(hRoot);
    if (!store) {
        store = std::make_unique<RegistryStore>(NativePath(StorePath(hRoot)).toStdString(),
                                                hRoot == HKEY_LOCAL_MACHINE);
    }
    return store.get();
}

std::string Utf8(const QString& s) {
    return s.toUtf8().toStdString();
}

// A stored value as the read rules give it: nullopt when it does not fit the buffer.
std::optional<QString> TextOf(const RegistryStore::Value& value, size_t lBufferSize) {
    switch (value.type) {
        case RegistryStore::kText:
        case RegistryStore::kExpandText: {
            if (value.bytes.size() + 1 > lBufferSize) {
                return std::nullopt;
            }
            const std::string_view bytes(value.bytes.data(),
                                         std::min(value.bytes.size(), value.bytes.find('\0')));
            return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
        }
        case RegistryStore::kNumber:
            // A 32-bit value; its bits read as a signed number.
            return QString::number(static_cast<int32_t>(static_cast<uint32_t>(value.number)));
        default:
            if (value.bytes.size() + 1 > lBufferSize) {
                return std::nullopt;
            }
            return QString();
    }
}

// The index of a numbered name's digits as the walk 0, 1, ... would read it: decimal without
// leading zeros and below lCount; -1 otherwise.
int32_t IndexOf(std::string_view digits, int32_t lCount) {
    if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits.front() == '0')) {
        return -1;
    }
    int64_t n = 0;
    for (char c : digits) {
        n = n * 10 + (c - '0');
    }
    return n < lCount ? static_cast<int32_t>(n) : -1;
}

}  // namespace

QString StorePath(RegRoot hRoot) {
    if (!OverridePath(hRoot).isEmpty()) {
        return OverridePath(hRoot);
    }
    if (hRoot == HKEY_LOCAL_MACHINE) {
        return QStringLiteral("/etc/xdg/tarvello/registry.sqlite3");
    }
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/tarvello/registry.sqlite3");
}

void SetStorePath(RegRoot hRoot, const QString& sPath) {
    Connection(hRoot).reset();
    OverridePath(hRoot) = sPath;
}

void CloseStores() {
    Connection(HKEY_CURRENT_USER).reset();
    Connection(HKEY_LOCAL_MACHINE).reset();
}

bool RegWriteText(RegRoot hRoot, const QString& sKey, const QString& sValueName,
                  const QString& sText) {
    RegistryStore* store = Store(hRoot);
    if (store == nullptr) {
        return false;
    }
    const QByteArray bytes = sText.isEmpty() ? QByteArray(" ") : sText.toUtf8();
    return store->Write(Utf8(sKey), Utf8(sValueName), RegistryStore::kText,
                        std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

std::optional<QString> RegTryReadText(RegRoot hRoot, const QString& sKey, const QString& sValueName,
                                      size_t lBufferSize, bool* pFailed) {
    RegistryStore* store = Store(hRoot);
    RegistryStore::Value value;
    const RegistryStore::Lookup found = store == nullptr
                                            ? RegistryStore::Lookup::Failed
                                            : store->Find(Utf8(sKey), Utf8(sValueName), &value);
    if (pFailed != nullptr) {
        *pFailed = found == RegistryStore::Lookup::Failed;
    }
    if (found != RegistryStore::Lookup::Found) {
        return std::nullopt;
    }
    return TextOf(value, lBufferSize);
}

std::optional<RegValue> RegQueryValue(RegRoot hRoot, const QString& sKey, const QString& sValueName,
                                      size_t lBufferSize) {
    RegistryStore* store = Store(hRoot);
    if (store == nullptr) {
        return std::nullopt;
    }
    const std::optional<RegistryStore::Value> value = store->Read(Utf8(sKey), Utf8(sValueName));
    if (!value) {
        return std::nullopt;
    }
    const bool bText = value->type == REG_SZ || value->type == REG_EXPAND_SZ;
    const size_t lSize = value->type == REG_DWORD ? sizeof(int32_t)
                         : bText                  ? value->bytes.size() + 1
                                                  : value->bytes.size();
    if (lSize > lBufferSize) {
        return std::nullopt;
    }
    RegValue result;
    result.lType = value->type;
    if (bText) {
        result.sText =
            QString::fromUtf8(value->bytes.data(), static_cast<qsizetype>(value->bytes.size()));
    }
    result.lNumber = value->number;
    return result;
}

QString RegReadText(RegRoot hRoot, const QString& sKey, const QString& sValueName) {
    return RegTryReadText(hRoot, sKey, sValueName).value_or(QString());
}

bool RegRemoveValue(RegRoot hRoot, const QString& sKey, const QString& sValueName) {
    RegistryStore* store = Store(hRoot);
    return store != nullptr && store->Remove(Utf8(sKey), Utf8(sValueName));
}

std::optional<NumberedTexts> RegReadNumbered(RegRoot hRoot, const QString& sKey,
                                             const QString& sPrefix, int32_t lCount,
                                             size_t lBufferSize) {
    RegistryStore* store = Store(hRoot);
    if (store == nullptr) {
        return std::nullopt;
    }
    const std::string prefix = Utf8(sPrefix);
    auto rows = store->Numbered(Utf8(sKey), prefix);
    if (!rows) {
        return std::nullopt;
    }
    NumberedTexts texts;
    for (const auto& [name, value] : *rows) {
        const int32_t index = IndexOf(std::string_view(name).substr(prefix.size()), lCount);
        if (index >= 0) {
            texts.emplace_back(index, TextOf(value, lBufferSize));
        }
    }
    std::sort(texts.begin(), texts.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return texts;
}

QString RegProblemText(RegRoot hRoot) {
    RegistryStore* store = Store(hRoot);
    if (store == nullptr) {
        return QStringLiteral("kein Speicher für diesen Schlüssel");
    }
    const RegistryStore::Problem& problem = store->LastProblem();
    if (problem.bFolder) {
        return QStringLiteral("der Ordner der Datei kann nicht angelegt werden (%1)")
            .arg(SystemReason(problem.systemError));
    }
    struct stat st {};
    if (::stat(NativePath(StorePath(hRoot)).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return QStringLiteral("die Datei ist ein Ordner");
    }
    switch (problem.sqliteCode & 0xFF) {
        case SQLITE_OK:
            return QString();
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return QStringLiteral(
                "die Datei ist länger als 5 Sekunden von einem anderen Programm gesperrt");
        case SQLITE_FULL:
            return QStringLiteral("der Datenträger ist voll");
        case SQLITE_NOTADB:
            return QStringLiteral("die Datei ist keine SQLite-Datenbank");
        case SQLITE_CORRUPT:
            return QStringLiteral("die Datei ist beschädigt");
        case SQLITE_READONLY:
        case SQLITE_PERM:
            if (problem.systemError == EROFS) {
                return QStringLiteral("das Dateisystem ist schreibgeschützt");
            }
            return QStringLiteral("die Datei ist schreibgeschützt");
        default:
            if (problem.systemError == ENOSPC) {
                return QStringLiteral("der Datenträger ist voll");
            }
            if (problem.systemError != 0) {
                return SystemReason(problem.systemError);
            }
            return QString::fromUtf8(sqlite3_errstr(problem.sqliteCode));
    }
}

StoreState CheckStore(RegRoot hRoot) {
    RegistryStore* store = Store(hRoot);
    if (store == nullptr) {
        return StoreState::Unreadable;
    }
    switch (store->Check()) {
        case RegistryStore::Health::Missing:
            return StoreState::Missing;
        case RegistryStore::Health::Usable:
            return store->OnReadOnlyMedium() ? StoreState::ReadOnly : StoreState::Usable;
        case RegistryStore::Health::Damaged:
            return StoreState::Damaged;
        case RegistryStore::Health::Unreadable:
            break;
    }
    return StoreState::Unreadable;
}

std::string DamagedSuffix(const QDateTime& dtNow) {
    return NativePath(QStringLiteral(".beschädigt-") +
                      dtNow.toString(QStringLiteral("yyyyMMdd-HHmm")))
        .toStdString();
}

Result<QString> MoveStoreAside(RegRoot hRoot, const QDateTime& dtNow) {
    RegistryStore* store = Store(hRoot);
    if (store == nullptr) {
        return Failure{QStringLiteral("kein Speicher für diesen Schlüssel")};
    }
    const std::string moved = store->MoveAside(DamagedSuffix(dtNow));
    if (moved.empty()) {
        return Failure{SystemReason(errno)};
    }
    return PathFromNative(QByteArrayView(moved.data(), static_cast<qsizetype>(moved.size())));
}

RegBatch::RegBatch(RegRoot hRoot, bool bWrite) : store_(Store(hRoot)) {
    active_ = store_ != nullptr && store_->BeginBatch(bWrite, &failed_);
}

RegBatch::~RegBatch() {
    if (active_) {
        store_->EndBatch(false);
    }
    if (failed_) {
        store_->EndFailedBatch();
    }
}

bool RegBatch::Commit() {
    if (!active_) {
        return false;
    }
    active_ = false;
    return store_->EndBatch(true);
}

}  // namespace modRegistry
