#pragma once
// Overwriting a password held in Qt's strings before their memory is given back. The characters
// are overwritten where they are stored, so every copy sharing them reads zeros afterwards: wipe
// only what no one needs any more.

#include <QByteArray>
#include <QString>

#include "platform/Wipe.h"

inline void WipeText(QString& sText) {
    // A literal lives in read-only memory and holds no secret.
    if (sText.data_ptr().isMutable()) {
        platform::wipe(const_cast<QChar*>(sText.constData()),
                       static_cast<size_t>(sText.size()) * sizeof(QChar));
    }
    sText.clear();
}

inline void WipeBytes(QByteArray& bytes) {
    if (bytes.data_ptr().isMutable()) {
        platform::wipe(const_cast<char*>(bytes.constData()), static_cast<size_t>(bytes.size()));
    }
    bytes.clear();
}
