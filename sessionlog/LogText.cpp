#include "LogText.h"

#include <QChar>
#include <QDateTime>

namespace sessionlog {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void appendEscapedByte(QByteArray& out, unsigned char c) {
  out.append('\\');
  out.append('x');
  out.append(kHex[c >> 4]);
  out.append(kHex[c & 0x0F]);
}

// Length of the valid UTF-8 sequence of a printable character at bytes[i], or 0.
int printableUtf8Length(const QByteArray& bytes, int i) {
  const auto at = [&](int k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = at(i);
  int len = 0;
  char32_t cp = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte (no overlongs, surrogates)
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > bytes.size()) return 0;
  for (int k = 1; k < len; ++k) {
    const unsigned char c = at(i + k);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (!QChar::isPrint(cp)) return 0;
  const QChar::Category cat = QChar::category(cp);
  if (cat == QChar::Separator_Line || cat == QChar::Separator_Paragraph) return 0;
  return len;
}

}  // namespace

QByteArray maskPasswords(const QByteArray& bytes) {
  constexpr qsizetype kPasswordBytes = 8;
  qsizetype at = bytes.indexOf("/+");
  if (at < 0) return bytes;
  QByteArray out = bytes;
  for (; at >= 0; at = out.indexOf("/+", at)) {
    const qsizetype from = at + 2;
    qsizetype end = from + kPasswordBytes;
    if (end >= out.size() || out[end] != ';') {
      end = out.indexOf(';', from);
      if (end < 0) end = out.size();
    }
    for (qsizetype i = from; i < end; ++i) out[i] = '*';
    at = end;
  }
  return out;
}

QByteArray escape(const QByteArray& bytes) {
  bool plain = true;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c > 0x7E || c == '\\') {
      plain = false;
      break;
    }
  }
  if (plain) return bytes;

  QByteArray out;
  out.reserve(bytes.size() + 16);
  for (int i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      out.append("\\\\");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\t') {
      out.append("\\t");
    } else if (c >= 0x20 && c <= 0x7E) {
      out.append(static_cast<char>(c));
    } else if (const int len = c >= 0x80 ? printableUtf8Length(bytes, i) : 0; len > 0) {
      out.append(bytes.constData() + i, len);
      i += len;
      continue;
    } else {
      appendEscapedByte(out, c);
    }
    ++i;
  }
  return out;
}

QString formatTime(qint64 msecsSinceEpoch) {
  const QDateTime t = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch);
  const int offset = t.offsetFromUtc();
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  return t.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
         QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

}  // namespace sessionlog
