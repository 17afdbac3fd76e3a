#include "Protects.h"

#include "RoutingTable.h"

namespace routing {

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "1,2,30": numbers joined by commas, nothing else.
bool parseList(const QByteArray& text, std::vector<int>* out) {
  if (text.isEmpty()) return false;
  for (const QByteArray& part : text.split(',')) {
    if (part.isEmpty() || part.size() > 4) return false;
    for (char c : part)
      if (!isDigit(c)) return false;
    out->push_back(part.toInt());
  }
  return true;
}

bool keywordNumber(const QByteArray& body, const char* word) {
  if (!body.startsWith(word)) return false;
  const QByteArray rest = body.mid(qsizetype(qstrlen(word)));
  for (char c : rest)
    if (!isDigit(c)) return false;
  return true;
}
}  // namespace

CommandMoves MovesOf(const QByteArray& command) {
  CommandMoves none;
  CommandMoves all;
  all.all = true;
  if (command.startsWith('/') && command.endsWith(';')) return none;
  if (!command.endsWith('.')) return all;
  const QByteArray body = command.chopped(1);
  if (keywordNumber(body, "Status") || keywordNumber(body, "Save") || keywordNumber(body, "Clear")) return none;
  CommandMoves some;
  if (body.endsWith('$') || body.endsWith('#')) {
    if (body.size() > 1 && isDigit(body[0]) && parseList(body.chopped(1), &some.outputs)) return some;
    return all;
  }
  int at = 0;
  while (at < body.size() && isDigit(body[at])) ++at;
  if (at == 0 || at > 4 || at >= body.size()) return all;
  const char letter = body[at];
  if ((letter == 'V' || letter == 'A' || letter == 'B') && parseList(body.mid(at + 1), &some.outputs)) return some;
  return all;
}

Protects::Protects(QObject* parent) : QObject(parent) {}

const ProtectHolder* Protects::holder(int output) const {
  const auto it = held.find(output);
  return it == held.end() ? nullptr : &it->second;
}

bool Protects::mayRoute(int output, const QString& label) const {
  const ProtectHolder* h = holder(output);
  return !h || h->label == label;
}

bool Protects::mayRun(const QByteArray& command, const QString& label) const {
  if (held.empty()) return true;
  const CommandMoves moves = MovesOf(command);
  if (moves.all) {
    for (const auto& [output, h] : held)
      if (h.label != label) return false;
    return true;
  }
  for (int output : moves.outputs)
    if (!mayRoute(output, label)) return false;
  return true;
}

bool Protects::protect(int output, const ProtectHolder& by, bool force) {
  if (output < 1 || output > routing::kOutputs || by.label.isEmpty()) return false;
  const auto it = held.find(output);
  if (it != held.end()) {
    if (it->second.label == by.label && it->second.shown == by.shown && it->second.device == by.device) return true;
    if (it->second.label != by.label && !force) return false;
  }
  held[output] = by;
  emit changed(output);
  return true;
}

bool Protects::release(int output, const QString& label, bool force) {
  const auto it = held.find(output);
  if (it == held.end()) return true;
  if (it->second.label != label && !force) return false;
  held.erase(it);
  emit changed(output);
  return true;
}

int Protects::forget(const QString& label) {
  std::vector<int> gone;
  for (auto it = held.begin(); it != held.end();) {
    if (it->second.label == label) {
      gone.push_back(it->first);
      it = held.erase(it);
    } else {
      ++it;
    }
  }
  for (int output : gone) emit changed(output);
  return int(gone.size());
}

}  // namespace routing
