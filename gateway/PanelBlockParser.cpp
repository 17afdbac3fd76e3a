#include "PanelBlockParser.h"

#include <cstring>
#include <utility>

namespace gateway {

bool PanelBlockParser::push(const char* data, int size, std::vector<PanelBlock>* blocks) {
  if (broken) return false;
  const char* const end = data + size;
  while (data < end) {
    if (afterCr) {
      afterCr = false;
      if (*data == '\n') {
        ++data;
        continue;
      }
    }
    const char* eol = data;
    while (eol < end && *eol != '\n' && *eol != '\r') ++eol;
    const int piece = int(eol - data);
    if (partial.size() + piece > kMaxPanelLine ||
        (inBlock && blockBytes + partial.size() + piece + 1 > kMaxPanelBlock)) {
      broken = true;
      return false;
    }
    partial.append(data, piece);
    if (eol == end) break;
    afterCr = *eol == '\r';
    data = eol + 1;
    line(std::exchange(partial, QByteArray()), blocks);
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
