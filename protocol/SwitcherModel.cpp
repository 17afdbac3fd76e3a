#include "SwitcherModel.h"

#include <QStringView>

namespace model {

namespace {
constexpr int kMaxPorts = 999;   // three digits in route reports
constexpr int kMaxDigits = 3;

// ASCII blanks only: space, tab, line feed, vertical tab, form feed, carriage return.
bool isBlank(QChar c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }
// ASCII digits only: QChar::isDigit would also take other scripts' digits.
bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

void skipBlanks(QStringView s, qsizetype* at) {
  while (*at < s.size() && isBlank(s[*at])) ++*at;
}

// One to three digits at *at, moved past them; -1 for none or more.
int number(QStringView s, qsizetype* at) {
  int value = 0;
  int digits = 0;
  for (; *at < s.size() && isDigit(s[*at]); ++*at) {
    if (++digits > kMaxDigits) return -1;
    value = value * 10 + (s[*at].unicode() - u'0');
  }
  return digits == 0 ? -1 : value;
}
}  // namespace

// By hand: a regular expression here would pull the PCRE2 engine and its JIT into every
// start for one short reply.
bool ParseMatrixSize(const QString& typeReply, int* inputs, int* outputs) {
  const QStringView s(typeReply);
  constexpr QStringView kWord(u"MATRIX");
  qsizetype at = 0;
  skipBlanks(s, &at);
  if (!s.mid(at).startsWith(kWord)) return false;
  at += kWord.size();
  const qsizetype afterWord = at;
  skipBlanks(s, &at);
  if (at == afterWord) return false;
  const int i = number(s, &at);
  if (i < 0 || at >= s.size() || (s[at] != u'X' && s[at] != u'x')) return false;
  ++at;
  const int o = number(s, &at);
  if (o < 0) return false;
  skipBlanks(s, &at);
  if (at != s.size()) return false;
  if (i < 1 || o < 1 || i > kMaxPorts || o > kMaxPorts) return false;
  *inputs = i;
  *outputs = o;
  return true;
}

}  // namespace model
