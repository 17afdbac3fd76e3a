#include "PanelBlockParser.h"

#include <cstring>
#include <utility>

namespace gateway {

bool PanelBlockParser::push(const char* data, int size, std::vector<PanelBlock>* blocks) {
  if (broken) return false;
  const char* const end = data + size;
  while (data < end) {
    const char* lf = static_cast<const char*>(std::memchr(data, '\n', size_t(end - data)));
    const int piece = int((lf ? lf : end) - data);
    // A line's CR may still come before its LF: one byte more is held, not judged.
    if (partial.size() + piece > kMaxPanelLine + 1 ||
        (inBlock && blockBytes + partial.size() + piece > kMaxPanelBlock)) {
      broken = true;
      return false;
    }
    partial.append(data, piece);
    if (!lf) break;
    data = lf + 1;
    QByteArray text = std::exchange(partial, QByteArray());
    if (text.endsWith('\r')) text.chop(1);
    if (text.size() > kMaxPanelLine || (inBlock && blockBytes + int(text.size()) + 1 > kMaxPanelBlock)) {
      broken = true;
      return false;
    }
    line(std::move(text), blocks);
  }
  return true;
}

void PanelBlockParser::line(QByteArray text, std::vector<PanelBlock>* blocks) {
  if (!inBlock) {
    if (text.isEmpty()) return;
    inBlock = true;
    blockBytes = int(text.size()) + 1;
    current.header = std::move(text);
    return;
  }
  if (text.isEmpty()) {
    blocks->push_back(std::exchange(current, PanelBlock()));
    inBlock = false;
    blockBytes = 0;
    return;
  }
  blockBytes += int(text.size()) + 1;
  current.lines.append(std::move(text));
}

}  // namespace gateway
