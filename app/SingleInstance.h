#pragma once
// One window per user. The window holds a lock for as long as it lives and listens on a local
// socket beside it (InstanceLock.h); another start of the program talks to it there, in the wire
// protocol of InstanceProtocol.h, instead of touching the stored list, which the window would write
// over when it closes. An intake that finds no window takes the same lock while it works on the
// store, so that no window loads the list half-way. This is the client's end; the window's is
// InstanceServer.

#include <QString>
#include <QStringList>

#include "app/InstanceLock.h"
#include "app/InstanceProtocol.h"

namespace SingleInstance {

/// What a start says when the lock stayed taken by someone who never answered.
inline const QString kNoAnswerText = QStringLiteral(
    "Ein anderes Sondrel läuft, nimmt aber seit einer Minute nichts an; bitte später erneut "
    "versuchen.");

/// What a running window answered to one request.
struct Answer {
    enum class Kind {
        NoWindow,   // nobody (or nobody of ours) answered the greeting
        Done,       // see ResultCode
        NotStored,  //
        Closing,    // also: the connection broke before the result
        Refused,    //
    };
    Kind kind = Kind::NoWindow;
    QString sText;
};

/// Sends one request (Activate, or Add with the working folder and the tokens) to the window of
/// this user and waits for its result as long as the window is there. Blocking; needs no
/// application object.
Answer Request(MessageType request, const QStringList& texts = {});

/// True when a window of this user answers the greeting.
bool WindowInstanceRunning();

}  // namespace SingleInstance
