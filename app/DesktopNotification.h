#pragma once
// A desktop notification through org.freedesktop.Notifications on the session bus: how a backup
// that the timer ran, with neither a window nor a terminal, reaches its user when it fails.

#include <QString>

namespace DesktopNotification {

/// How long a notification service may take to answer.
inline constexpr int kTimeoutMs = 3000;

/// The session bus: $DBUS_SESSION_BUS_ADDRESS, else the socket "bus" that the user's session keeps
/// in $XDG_RUNTIME_DIR; empty when there is neither. No bus is ever started for a notification.
QString SessionBusAddress();

/// Shows the notification (urgent, so that it stays until it is read). True when a notification
/// service took it; without a session bus or service nothing happens.
bool Notify(const QString& sSummary, const QString& sBody);

}  // namespace DesktopNotification
