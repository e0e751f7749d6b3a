#include "app/modRegistry.h"

#include <QByteArray>
#include <QDir>
#include <memory>

#include "platform/registrystore/RegistryStore.h"

namespace modRegistry {

namespace {

// A value read back must fit a 1024-byte buffer together with its terminating zero.
constexpr size_t kReadBufferSize = 1024;

struct RootStore {
    QString overridePath;
    std::unique_ptr<RegistryStore> store;
};

RootStore& Root(RegRoot hRoot) {
    static RootStore user;
    static RootStore machine;
    return hRoot == HKEY_LOCAL_MACHINE ? machine : user;
}

RegistryStore* Store(RegRoot hRoot) {
    if (hRoot != HKEY_CURRENT_USER && hRoot != HKEY_LOCAL_MACHINE) {
        return nullptr;
    }
    RootStore& root = Root(hRoot);
    if (!root.store) {
        root.store = std::make_unique<RegistryStore>(
            QFile::encodeName(StorePath(hRoot)).toStdString(), hRoot == HKEY_LOCAL_MACHINE);
    }
    return root.store.get();
}

std::string Utf8(const QString& s) {
    return s.toUtf8().toStdString();
}

}  // namespace

QString StorePath(RegRoot hRoot) {
    const RootStore& root = Root(hRoot);
    if (!root.overridePath.isEmpty()) {
        return root.overridePath;
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
    RootStore& root = Root(hRoot);
    root.store.reset();
    root.overridePath = sPath;
}

void CloseStores() {
    Root(HKEY_CURRENT_USER).store.reset();
    Root(HKEY_LOCAL_MACHINE).store.reset();
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

std::optional<QString> RegTryReadText(RegRoot hRoot, const QString& sKey,
                                      const QString& sValueName) {
    RegistryStore* store = Store(hRoot);
    if (store == nullptr) {
        return std::nullopt;
    }
    const std::optional<RegistryStore::Value> value = store->Read(Utf8(sKey), Utf8(sValueName));
    if (!value) {
        return std::nullopt;
    }
    switch (value->type) {
        case RegistryStore::kText:
        case RegistryStore::kExpandText: {
            if (value->bytes.size() + 1 > kReadBufferSize) {
                return std::nullopt;
            }
            const std::string_view bytes(value->bytes.data(),
                                         std::min(value->bytes.size(), value->bytes.find('\0')));
            return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
        }
        case RegistryStore::kNumber:
            // A 32-bit value; its bits read as a signed number.
            return QString::number(static_cast<int32_t>(static_cast<uint32_t>(value->number)));
        default:
            if (value->bytes.size() + 1 > kReadBufferSize) {
                return std::nullopt;
            }
            return QString();
    }
}

QString RegReadText(RegRoot hRoot, const QString& sKey, const QString& sValueName) {
    return RegTryReadText(hRoot, sKey, sValueName).value_or(QString());
}

bool RegRemoveValue(RegRoot hRoot, const QString& sKey, const QString& sValueName) {
    RegistryStore* store = Store(hRoot);
    return store != nullptr && store->Remove(Utf8(sKey), Utf8(sValueName));
}

std::optional<int64_t> RegHighestIndex(RegRoot hRoot, const QString& sKey, const QString& sPrefix) {
    RegistryStore* store = Store(hRoot);
    if (store == nullptr) {
        return std::nullopt;
    }
    return store->HighestIndex(Utf8(sKey), Utf8(sPrefix));
}

RegBatch::RegBatch(RegRoot hRoot, bool bWrite) : store_(Store(hRoot)) {
    active_ = store_ != nullptr && store_->BeginBatch(bWrite);
}

RegBatch::~RegBatch() {
    if (active_) {
        store_->EndBatch(false);
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
