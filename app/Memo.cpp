#include "Memo.h"

#include <QByteArray>
#include <QDateTime>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

namespace {
constexpr char16_t kShownCarriageReturn = u'\u240D';
constexpr char16_t kShownLineFeed = u'\u240A';

// Length of the valid UTF-8 sequence at b[i..n), or 0 when it is not one (overlong forms,
// surrogates and values beyond U+10FFFF included).
int utf8SequenceAt(const unsigned char* b, qsizetype i, qsizetype n, char32_t* cp) {
  const unsigned char lead = b[i];
  int len;
  char32_t v;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2, v = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3, v = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4, v = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (n - i < len) return 0;
  for (int k = 1; k < len; ++k) {
    if ((b[i + k] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b[i + k] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}
}  // namespace

QString LinkBytesText(const QByteArray& bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.constData());
  const qsizetype n = bytes.size();
  QString s;
  s.reserve(n);
  for (qsizetype i = 0; i < n;) {
    const unsigned char c = b[i];
    char32_t cp = 0;
    const int len = c < 0x80 ? 0 : utf8SequenceAt(b, i, n, &cp);
    if (len > 0) {
      s += QString::fromUcs4(&cp, 1);
      i += len;
      continue;
    }
    if (c == '\r')
      s += QChar(kShownCarriageReturn);
    else if (c == '\n')
      s += QChar(kShownLineFeed);
    else
      s += QChar(char16_t(c));  // ASCII, or a byte that is no UTF-8: its 8-bit character
    ++i;
  }
  return s;
}

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  // The cap is kept by appendBatch, in the same edit as the new lines: a document that trims
  // itself after each insertion costs several times the insertion.
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setUndoRedoEnabled(false);
  flushTimer = new QTimer(this);
  flushTimer->setSingleShot(true);
  flushTimer->setInterval(0);
  connect(flushTimer, &QTimer::timeout, this, [this] { flushPending(); });
}

void TMemo::flushPending() const {
  if (pending.isEmpty()) return;
  const QStringList texts = std::exchange(pending, {});
  const QList<qint64> at = std::exchange(pendingTimes, {});
  const_cast<TMemo*>(this)->appendBatch(texts, at);
}

int TMemo::lineCount() const {
  flushPending();
  return hasLines ? document()->blockCount() : 0;
}

QString TMemo::line(int index) const {
  if (index < 0 || index >= lineCount()) return {};
  return document()->findBlockByNumber(index).text();
}

QStringList TMemo::lines() const {
  QStringList out;
  const int n = lineCount();
  out.reserve(n);
  for (QTextBlock b = document()->begin(); b.isValid() && out.size() < n; b = b.next())
    out << b.text();
  return out;
}

void TMemo::setLines(const QStringList& texts) {
  clearLines();
  appendLines(texts);
}

void TMemo::appendLine(const QString& text, qint64 at) {
  pending << text;
  pendingTimes << (at == kNow ? QDateTime::currentMSecsSinceEpoch() : at);
  // More than the memo keeps would only be dropped again.
  if (pending.size() > kMaxLines) {
    pending.removeFirst();
    pendingTimes.removeFirst();
  }
  if (!flushTimer->isActive()) flushTimer->start();
}

void TMemo::appendLines(const QStringList& texts) {
  flushPending();
  appendBatch(texts, QList<qint64>(texts.size(), QDateTime::currentMSecsSinceEpoch()));
}

QList<qint64> TMemo::lineTimes() const {
  flushPending();
  return QList<qint64>(times.begin(), times.end());
}

void TMemo::appendBatch(const QStringList& texts, const QList<qint64>& at) {
  if (texts.isEmpty()) return;
  QScrollBar* bar = verticalScrollBar();
  const bool atBottom = bar->value() == bar->maximum();
  const int have = hasLines ? document()->blockCount() : 0;
  const int excess = have + int(texts.size()) - kMaxLines;
  const int dropOld = qBound(0, excess, qMax(0, have - fixedHead));
  const int skipNew = qMax(0, excess - dropOld);  // a batch longer than the cap
  QTextCursor c(document());
  c.beginEditBlock();
  removeLines(c, fixedHead, dropOld);
  c.movePosition(QTextCursor::End);
  // One insertion for the whole batch: the document splits it into blocks at each LF.
  QString joined;
  if (hasLines) joined += QLatin1Char('\n');
  joined += texts.mid(skipNew).join(QLatin1Char('\n'));
  hasLines = true;
  c.insertText(joined);
  c.endEditBlock();
  times.insert(times.end(), at.begin() + skipNew, at.end());
  if (atBottom) bar->setValue(bar->maximum());
}

void TMemo::removeLines(QTextCursor& c, int first, int count) {
  const int have = hasLines ? document()->blockCount() : 0;
  count = qMin(count, have - first);
  if (first < 0 || count <= 0) return;
  if (count == have) {
    c.select(QTextCursor::Document);
    hasLines = false;
  } else if (first + count < have) {
    c.setPosition(document()->findBlockByNumber(first).position());
    c.setPosition(document()->findBlockByNumber(first + count).position(), QTextCursor::KeepAnchor);
  } else {
    // The last lines: take the line end before them as well.
    c.setPosition(document()->findBlockByNumber(first).position() - 1);
    c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  }
  c.removeSelectedText();
  times.erase(times.begin() + first, times.begin() + first + count);
}

void TMemo::setFixedHead(int lines) {
  fixedHead = qMax(0, lines);
  dropBeyondCap();
}

void TMemo::dropBeyondCap() {
  const int excess = lineCount() - kMaxLines;
  if (excess <= 0) return;
  QTextCursor c(document());
  c.beginEditBlock();
  removeLines(c, fixedHead, excess);
  c.endEditBlock();
}

void TMemo::insertLine(int index, const QString& text) {
  if (index >= lineCount()) {
    appendLine(text);
    return;
  }
  if (index < 0) index = 0;
  QTextCursor c(document()->findBlockByNumber(index));
  c.movePosition(QTextCursor::StartOfBlock);
  c.insertText(text);
  c.insertBlock();
  times.insert(times.begin() + index, QDateTime::currentMSecsSinceEpoch());
  dropBeyondCap();
}

void TMemo::deleteLine(int index) {
  const int n = lineCount();
  if (index < 0 || index >= n) return;
  if (n == 1) {
    clearLines();
    return;
  }
  QTextBlock b = document()->findBlockByNumber(index);
  QTextCursor c(b);
  if (index == n - 1) {
    // The last line has no line end of its own: take the one before it.
    c.movePosition(QTextCursor::PreviousBlock);
    c.movePosition(QTextCursor::EndOfBlock);
    c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  } else {
    c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
  }
  c.removeSelectedText();
  times.erase(times.begin() + index);
}

void TMemo::deleteLinesFrom(int index) {
  if (index < 0) index = 0;
  const int n = lineCount();
  if (index >= n) return;
  if (index == 0) {
    clearLines();
    return;
  }
  QTextCursor c(document()->findBlockByNumber(index - 1));
  c.movePosition(QTextCursor::EndOfBlock);
  c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  c.removeSelectedText();
  times.erase(times.begin() + index, times.end());
}

void TMemo::replaceLine(int index, const QString& text) {
  deleteLine(index);
  insertLine(index, text);
}

void TMemo::clearLines() {
  pending.clear();
  pendingTimes.clear();
  times.clear();
  document()->clear();
  hasLines = false;
}
