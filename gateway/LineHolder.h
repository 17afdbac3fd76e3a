#pragma once
// Holds the switcher's bytes until a line is complete, so that every client gets whole lines
// (CR LF included), never a line cut in two or merged with the next. The hold is bounded by
// the console's own line buffer: a longer line is passed on in pieces of that size, and a
// piece never ends between a CR and its LF.

#include <QByteArray>

namespace gateway {

class LineHolder {
 public:
  // Appends bytes; returns the complete lines (and pieces of over-long lines) they finish,
  // joined in order. What is returned always ends at a line end or a piece boundary.
  QByteArray push(const char* data, int size);
  QByteArray push(const QByteArray& bytes) { return push(bytes.constData(), int(bytes.size())); }
  int heldLength() const { return int(held.size()); }

 private:
  QByteArray held;
};

}  // namespace gateway
