#include "Memo.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setMaximumBlockCount(kMaxLines);
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
  const_cast<TMemo*>(this)->appendLines(texts);
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

void TMemo::appendLine(const QString& text) {
  pending << text;
  // More than the memo keeps would only be dropped again.
  if (pending.size() > kMaxLines) pending.removeFirst();
  if (!flushTimer->isActive()) flushTimer->start();
}

void TMemo::appendLines(const QStringList& texts) {
  flushPending();
  if (texts.isEmpty()) return;
  QScrollBar* bar = verticalScrollBar();
  const bool atBottom = bar->value() == bar->maximum();
  QTextCursor c(document());
  c.beginEditBlock();
  c.movePosition(QTextCursor::End);
  // One insertion for the whole batch: the document splits it into blocks at each LF.
  QString joined;
  if (hasLines) joined += QLatin1Char('\n');
  joined += texts.join(QLatin1Char('\n'));
  hasLines = true;
  c.insertText(joined);
  c.endEditBlock();
  dropBeyondCap();
  if (atBottom) bar->setValue(bar->maximum());
}

void TMemo::setFixedHead(int lines) {
  fixedHead = qMax(0, lines);
  // The cap is kept here instead, where it can spare the head.
  setMaximumBlockCount(fixedHead > 0 ? 0 : kMaxLines);
  dropBeyondCap();
}

void TMemo::dropBeyondCap() {
  if (fixedHead <= 0) return;
  const int excess = document()->blockCount() - kMaxLines;
  if (excess <= 0) return;
  QTextCursor c(document()->findBlockByNumber(fixedHead));
  c.setPosition(document()->findBlockByNumber(fixedHead + excess).position(),
                QTextCursor::KeepAnchor);
  c.removeSelectedText();
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
}

void TMemo::replaceLine(int index, const QString& text) {
  deleteLine(index);
  insertLine(index, text);
}

void TMemo::clearLines() {
  pending.clear();
  document()->clear();
  hasLines = false;
}
