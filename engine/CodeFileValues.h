#pragma once
// Values of a loaded code group file by position, as UTF-8: files that are not UTF-8 were
// written on Chinese systems and are read as GB18030.

#include <QString>

#include <string>

class MarkupDoc;

bool IsUtf8(const std::string& s);

class ValueReader {
 public:
  explicit ValueReader(const MarkupDoc& d);
  std::string operator()(int n) const;

 private:
  const MarkupDoc& doc;
  const bool legacy;
};

// Why a file that did not load could not be read, for the operator.
QString UnreadableReason(const QString& path, const MarkupDoc& doc);
