#pragma once
// The text forms shared by the log file and the lists' "Save As": escaped bytes and the
// local time stamp.

#include <QByteArray>
#include <QString>

namespace sessionlog {

// Bytes as one line of UTF-8 text. Printable ASCII stays, except the backslash, which is
// doubled so that every escape reads back unambiguously; \r, \n and \t are written so; every
// other control byte, DEL and every byte that is not part of a valid UTF-8 sequence of a
// printable character is written \xNN (two upper-case hex digits). Valid UTF-8 of printable
// characters (letters, CJK, symbols) stays as it is; line and paragraph separators and
// format characters (bidi overrides, zero-width marks) are escaped byte by byte.
QByteArray escape(const QByteArray& bytes);

// The bytes with every password of a "/+" command replaced by as many '*': the eight bytes
// before its ';' (a password may hold ';' or '.'), else whatever follows up to the next ';'
// or the end, so that no spelling of a password reaches a file.
QByteArray maskPasswords(const QByteArray& bytes);

// Local ISO 8601 time with milliseconds and the UTC offset, as at the head of every log
// line: 2024-05-01T14:03:22.123+02:00.
QString formatTime(qint64 msecsSinceEpoch);

}  // namespace sessionlog
