#pragma once
// A read-only memo with the line operations the console needs (append, replace line n,
// delete from line n) and a cap on its length, so that days of traffic stay bounded.

#include <QPlainTextEdit>
#include <QStringList>
#include <deque>

class QByteArray;
class QTextCursor;
class QTimer;

// One memo line for bytes of the link: valid UTF-8 runs as their characters, every other
// byte as the 8-bit character of that value, so nothing is lost or garbled; a lone CR or
// LF is shown as its symbol, since a real break would split the line.
QString LinkBytesText(const QByteArray& bytes);

class TMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  // Oldest lines go first beyond this many.
  static constexpr int kMaxLines = 10000;

  explicit TMemo(QWidget* parent = nullptr);

  int lineCount() const;
  // Lines appended since the last pass of the event loop go in as one edit: a burst of
  // feedback costs one document change instead of one layout per line. Every other
  // operation, reads included, first applies them, so the order of lines never changes.
  void flushPending() const;
  QString line(int index) const;
  QStringList lines() const;
  void setLines(const QStringList& lines);
  // `at`: when the line came, in milliseconds since the epoch (the session log's stamp
  // where the caller has one); kNow takes the present time.
  static constexpr qint64 kNow = -1;
  void appendLine(const QString& text, qint64 at = kNow);
  // Appends many lines as one edit: one layout pass instead of one per line.
  void appendLines(const QStringList& texts);
  // When each line came, as given to appendLine (lines from other calls: when they were set).
  QList<qint64> lineTimes() const;
  // Inserts before line index; an index at or past the end appends.
  void insertLine(int index, const QString& text);
  void deleteLine(int index);
  void deleteLinesFrom(int index);
  // Delete line index, then insert text at the same index.
  void replaceLine(int index, const QString& text);
  void clearLines();
  // The first `lines` lines are fixed (MemoSysInfo's numbered lines): beyond the cap the
  // oldest lines after them go instead, so that the fixed lines keep their indexes.
  void setFixedHead(int lines);

 private:
  void appendBatch(const QStringList& texts, const QList<qint64>& at);
  // Removes `count` lines from index `first` inside the edit of `c`.
  void removeLines(QTextCursor& c, int first, int count);
  void dropBeyondCap();

  // A QTextDocument always holds one block; this tells "no lines" from "one empty line".
  bool hasLines = false;
  int fixedHead = 0;
  std::deque<qint64> times;  // one per line
  mutable QStringList pending;
  mutable QList<qint64> pendingTimes;
  QTimer* flushTimer = nullptr;
};
