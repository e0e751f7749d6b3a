#pragma once
// File names on Linux are bytes; the program's paths are text. Every byte that is not part of
// valid UTF-8 becomes the private-use character U+EF00 + byte (U+EF80 .. U+EFFF), and a name that
// really holds one of those characters has each byte of its UTF-8 form escaped the same way. The
// escape is reversible for every byte string, and the escaped text is valid UTF-8 again, so such
// names pass unchanged through the list, the settings store and the window.
//
// Everything that hands a path to the system (stat, open, readdir, the archiver) goes through
// NativePath; everything that takes one from it (readdir, the command line, a drop) through
// PathFromNative.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

/// The bytes a path stands for.
QByteArray NativePath(const QString& sPath);
/// The text of a path's bytes; NativePath gives the bytes back exactly.
QString PathFromNative(QByteArrayView bytes);
/// For the eye: each escaped byte shown as "\xNN".
QString DisplayPath(const QString& sPath);
