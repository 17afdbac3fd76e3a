#include "CodeFileValues.h"

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "MarkupDoc.h"

namespace {
// The code page in which files that are not UTF-8 were written on Chinese systems.
constexpr char kLegacyEncoding[] = "GB18030";

bool IsAscii(const std::string& v) {
  for (char c : v)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}
}  // namespace

bool IsUtf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int n = 0;
    unsigned min = 0;
    if (c >= 0xC2 && c <= 0xDF) n = 1, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF) n = 2, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) n = 3, min = 0x10000;
    else return false;
    if (end - p <= n) return false;
    unsigned cp = c & (0x3F >> n);
    for (int k = 1; k <= n; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += n + 1;
  }
  return true;
}

ValueReader::ValueReader(const MarkupDoc& d) : doc(d), legacy(!IsUtf8(d.Text())) {}

std::string ValueReader::operator()(int n) const {
  std::string v = doc.AttributeValue(doc.AttributeNameAt(n));
  if (!legacy || IsAscii(v)) return v;
  QStringDecoder decode(kLegacyEncoding);
  return QString(decode(QByteArrayView(v.data(), qsizetype(v.size())))).toStdString();
}

// Why a file that did not load could not be read, for the operator.
QString UnreadableReason(const QString& path, const MarkupDoc& doc) {
  if (path.isEmpty()) return QStringLiteral("no file name");
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return QString::fromLocal8Bit(std::strerror(errno));
  struct stat st {};
  const bool statted = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (!statted) return QString::fromLocal8Bit(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return QStringLiteral("not a regular file");
  if (st.st_size == 0) return QStringLiteral("the file is empty");
  if (doc.LastErrorLine() > 0)
    return QStringLiteral("line %1: %2").arg(doc.LastErrorLine()).arg(QString::fromStdString(doc.LastError()));
  if (doc.HasRoot()) return QStringLiteral("its first element is not CodeTree");
  return QStringLiteral("no markup element found");
}

