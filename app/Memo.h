#pragma once
// A read-only memo with the line operations the console needs (append, replace line n,
// delete from line n) and a cap on its length, so that days of traffic stay bounded.

#include <QPlainTextEdit>
#include <QStringList>

class TMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  // Oldest lines go first beyond this many.
  static constexpr int kMaxLines = 10000;

  explicit TMemo(QWidget* parent = nullptr);

  int lineCount() const;
  QString line(int index) const;
  QStringList lines() const;
  void setLines(const QStringList& lines);
  void appendLine(const QString& text);
  // Appends many lines as one edit: one layout pass instead of one per line.
  void appendLines(const QStringList& texts);
  // Inserts before line index; an index at or past the end appends.
  void insertLine(int index, const QString& text);
  void deleteLine(int index);
  void deleteLinesFrom(int index);
  // Delete line index, then insert text at the same index.
  void replaceLine(int index, const QString& text);
  void clearLines();

 private:
  // A QTextDocument always holds one block; this tells "no lines" from "one empty line".
  bool hasLines = false;
};
