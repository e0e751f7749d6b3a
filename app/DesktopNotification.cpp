#include "app/DesktopNotification.h"

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

#include "app/NativePath.h"

namespace DesktopNotification {

namespace {

const QString kConnectionName = QStringLiteral("sondrel-notification");
const QString kService = QStringLiteral("org.freedesktop.Notifications");
constexpr uchar kUrgencyCritical = 2;

}  // namespace

QString SessionBusAddress() {
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty()) {
        return address;
    }
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) {
        return QString();
    }
    const QString socket = runtime + QStringLiteral("/bus");
    struct stat st {};
    if (::stat(NativePath(socket).constData(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return QString();
    }
    return QStringLiteral("unix:path=") + socket;
}

bool Notify(const QString& sSummary, const QString& sBody) {
    const QString address = SessionBusAddress();
    if (address.isEmpty()) {
        return false;
    }
    bool bShown = false;
    {
        // A connection of its own: nothing is started on the bus's behalf, and it ends here.
        const QDBusConnection bus = QDBusConnection::connectToBus(address, kConnectionName);
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                kService, QStringLiteral("/org/freedesktop/Notifications"), kService,
                QStringLiteral("Notify"));
            QVariantMap hints;
            hints.insert(QStringLiteral("urgency"), QVariant::fromValue(kUrgencyCritical));
            hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("sondrel"));
            call << QStringLiteral("Tarvello-Backup") << uint{0} << QStringLiteral("sondrel")
                 << sSummary << sBody << QStringList() << hints << int{-1};
            bShown = bus.call(call, QDBus::Block, kTimeoutMs).type() == QDBusMessage::ReplyMessage;
        }
    }
    QDBusConnection::disconnectFromBus(kConnectionName);
    return bShown;
}

}  // namespace DesktopNotification
