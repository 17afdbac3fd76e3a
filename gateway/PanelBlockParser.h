#pragma once
// Router panels talk in blocks: a header line ending in ':', zero or more lines, one empty
// line. The parser cuts a client's bytes, in whatever pieces they arrive, into those blocks.
// Lines end in LF, CR or CR LF (a CR LF cut between two pieces is still one line end).
// Empty lines between blocks are ignored.

#include <QByteArray>
#include <QList>

#include <vector>

namespace gateway {

// A longer line or block is not a panel talking: the client is ended.
constexpr int kMaxPanelLine = 1024;        // bytes, without the line end
constexpr int kMaxPanelBlock = 64 * 1024;  // bytes, line ends included

struct PanelBlock {
  QByteArray header;        // the first line as sent, e.g. "VIDEO OUTPUT ROUTING:"
  QList<QByteArray> lines;  // the lines up to the empty one
  bool operator==(const PanelBlock& o) const { return header == o.header && lines == o.lines; }
};

class PanelBlockParser {
 public:
  // Appends bytes and adds the blocks they complete to *blocks. False once a line or a block
  // passed its limit: the client must go, and every later call is false too.
  bool push(const char* data, int size, std::vector<PanelBlock>* blocks);
  bool push(const QByteArray& bytes, std::vector<PanelBlock>* blocks) {
    return push(bytes.constData(), int(bytes.size()), blocks);
  }
  bool failed() const { return broken; }

 private:
  void line(QByteArray text, std::vector<PanelBlock>* blocks);

  QByteArray partial;  // the unfinished line
  PanelBlock current;
  bool inBlock = false;
  int blockBytes = 0;
  bool broken = false;
  bool afterCr = false;  // the last line ended in CR: an LF next belongs to it
};

}  // namespace gateway
