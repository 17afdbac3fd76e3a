#include "SwitcherCore.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

// Numbers on the wire never need more digits than the three of a route report.
constexpr int kMaxNumberDigits = 3;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

QByteArray line(const QByteArray& text) { return text + kLineEnd; }
QByteArray errorLine() { return line(kErrorText); }

// Unsigned decimal of 1 to 3 digits; anything else (sign, blank, empty, longer) fails.
bool parseNumber(const QByteArray& s, int* out) {
  if (s.isEmpty() || s.size() > kMaxNumberDigits) return false;
  int v = 0;
  for (char c : s) {
    if (!isDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// "1,2,3" with at least one member and no empty member.
bool parseList(const QByteArray& s, std::vector<int>* out) {
  out->clear();
  for (const QByteArray& part : s.split(',')) {
    int v = 0;
    if (!parseNumber(part, &v)) return false;
    out->push_back(v);
  }
  return true;
}

// The number after a keyword such as "Save"; false when s does not start with it.
bool keywordNumber(const QByteArray& s, const char* keyword, int* out) {
  return s.startsWith(keyword) && parseNumber(s.mid(int(qstrlen(keyword))), out);
}

}  // namespace

SwitcherCore::SwitcherCore(int inputs, int outputs, bool startClosed)
    : inputCount(std::clamp(inputs, 1, kMaxPorts)),
      outputCount(std::clamp(outputs, 1, kMaxPorts)),
      startClosed(startClosed),
      matrix(startMatrix()) {}

SwitcherCore::Matrix SwitcherCore::startMatrix() const {
  Matrix m(size_t(outputCount) + 1);
  if (!startClosed) {
    for (int k = 1; k <= std::min(inputCount, outputCount); ++k) m[size_t(k)] = {k, k};
  }
  return m;
}

void SwitcherCore::powerOn() {
  matrix = startMatrix();
  undoMatrix.reset();
}

SwitcherCore::Route SwitcherCore::route(int output) const {
  return validOutput(output) ? matrix[size_t(output)] : Route{};
}

QByteArray SwitcherCore::routeReport(int output, const Route& route) {
  // Fixed columns: kind 0-4, input 7-9, output 13-15, as the console reads them.
  char buf[64];
  QByteArray out;
  if (route.video == route.audio) {
    std::snprintf(buf, sizeof buf, " A/V : %03d > %03d\r\n", route.video, output);
    out += buf;
  } else {
    std::snprintf(buf, sizeof buf, "VIDEO: %03d > %03d\r\n", route.video, output);
    out += buf;
    std::snprintf(buf, sizeof buf, "AUDIO: %03d > %03d\r\n", route.audio, output);
    out += buf;
  }
  return out;
}

QByteArray SwitcherCore::typeLine(int inputs, int outputs) {
  return line("MATRIX " + QByteArray::number(inputs) + "X" + QByteArray::number(outputs));
}

QByteArray SwitcherCore::versionLine() { return line("Version switcher-sim " SC_VERSION); }

QByteArray SwitcherCore::feed(CommandFramer& framer, const QByteArray& bytes,
                              QList<QByteArray>* log) {
  QByteArray reply;
  for (const CommandFramer::Frame& frame : framer.push(bytes)) {
    if (frame.overflow) {
      reply += errorLine();
      if (log) log->append("(more than " + QByteArray::number(kMaxCommandLength) +
                           " bytes without a terminator)");
    } else {
      reply += execute(frame.command);
      if (log) log->append(frame.command);
    }
  }
  return reply;
}

QByteArray SwitcherCore::feed(const QByteArray& bytes, QList<QByteArray>* log) {
  return feed(ownFramer, bytes, log);
}

QByteArray SwitcherCore::execute(const QByteArray& command) {
  if (command.startsWith('/')) {
    if (!command.endsWith(';')) return errorLine();
    return executeSystem(command.mid(1, command.size() - 2));
  }
  if (!command.endsWith('.')) return errorLine();
  return executeMatrix(command.chopped(1));
}

QByteArray SwitcherCore::executeSystem(const QByteArray& body) {
  if (body == "*Type") return typeLine(inputCount, outputCount);
  if (body == "^Version") return versionLine();
  if (body == "%Lock") {
    keyboardLocked = true;
    return line("System Locked!");
  }
  if (body == "%Unlock") {
    keyboardLocked = false;
    return line("System UnLock!");
  }
  if (body.startsWith('+') && body.size() == 1 + kPasswordLength) {
    passwordText = body.mid(1);
    return line("Password Set!");
  }
  return errorLine();
}

void SwitcherCore::remember() { undoMatrix = matrix; }

QByteArray SwitcherCore::reports(const std::vector<int>& outputList) const {
  QByteArray out;
  for (int o : outputList) out += routeReport(o, matrix[size_t(o)]);
  return out;
}

QByteArray SwitcherCore::executeMatrix(const QByteArray& body) {
  int n = 0;
  std::vector<int> list;

  if (body == "Status") {
    QByteArray out;
    for (int o = 1; o <= outputCount; ++o) out += routeReport(o, matrix[size_t(o)]);
    return out;
  }
  if (keywordNumber(body, "Status", &n)) {
    return validOutput(n) ? routeReport(n, matrix[size_t(n)]) : errorLine();
  }
  if (body == "Undo") {
    // Nothing to undo is refused rather than answered "OK" for a change that did not happen.
    if (!undoMatrix) return errorLine();
    matrix = *undoMatrix;
    undoMatrix.reset();
    return line("Undo OK.");
  }
  if (keywordNumber(body, "Save", &n)) {
    if (n >= kPresetCount) return errorLine();
    presets[size_t(n)] = matrix;
    return line("Save To F " + QByteArray::number(n) + ".");
  }
  if (keywordNumber(body, "Recall", &n)) {
    // An empty preset has nothing to recall; answering success would hide that.
    if (n >= kPresetCount || !presets[size_t(n)]) return errorLine();
    remember();
    matrix = *presets[size_t(n)];
    return line("Recall From F " + QByteArray::number(n) + ".");
  }
  if (keywordNumber(body, "Clear", &n)) {
    if (n >= kPresetCount) return errorLine();
    presets[size_t(n)].reset();
    return line("Clear F " + QByteArray::number(n) + ".");
  }
  if (body == "All#") {
    remember();
    for (int o = 1; o <= outputCount; ++o) {
      matrix[size_t(o)] = o <= inputCount ? Route{o, o} : Route{};
    }
    return line("All Through.");
  }
  if (body == "All$") {
    remember();
    std::fill(matrix.begin(), matrix.end(), Route{});
    return line("All Closed.");
  }
  if (body.endsWith("All") && parseNumber(body.chopped(3), &n)) {
    if (!validInput(n)) return errorLine();
    remember();
    for (int o = 1; o <= outputCount; ++o) matrix[size_t(o)] = {n, n};
    return line(QByteArray::number(n) + " To All.");
  }
  if (body.endsWith('$')) {
    if (!parseList(body.chopped(1), &list)) return errorLine();
    if (!std::all_of(list.begin(), list.end(), [this](int o) { return validOutput(o); })) {
      return errorLine();
    }
    remember();
    for (int o : list) matrix[size_t(o)] = {};
    return reports(list);
  }
  if (body.endsWith('#')) {
    if (!parseList(body.chopped(1), &list)) return errorLine();
    if (!std::all_of(list.begin(), list.end(),
                     [this](int k) { return validOutput(k) && k <= inputCount; })) {
      return errorLine();
    }
    remember();
    for (int k : list) matrix[size_t(k)] = {k, k};
    return reports(list);
  }

  // Route: input, signal letter, output list.
  const auto letterAt = std::find_if(body.begin(), body.end(), [](char c) { return !isDigit(c); });
  if (letterAt == body.end()) return errorLine();
  const char letter = *letterAt;
  const int letterPos = int(letterAt - body.begin());
  if (letter != 'V' && letter != 'A' && letter != 'B') return errorLine();
  if (!parseNumber(body.left(letterPos), &n) || !validInput(n)) return errorLine();
  if (!parseList(body.mid(letterPos + 1), &list)) return errorLine();
  if (!std::all_of(list.begin(), list.end(), [this](int o) { return validOutput(o); })) {
    return errorLine();
  }
  remember();
  for (int o : list) {
    Route& r = matrix[size_t(o)];
    if (letter != 'A') r.video = n;
    if (letter != 'V') r.audio = n;
  }
  return reports(list);
}

}  // namespace sim
