// Fuzz target for the INI module: any bytes as a settings file, then reads of its keys and a
// section write. What the write was not asked to change is kept byte for byte (every line
// outside the section's headers and keys, with its own line end), and what it wrote reads
// back.

#include <fuzzer/FuzzedDataProvider.h>

#include <QDir>
#include <QFile>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

#include "Ini.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// The module's blanks, as the classic reader has them.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

QByteArray trimmed(const QByteArray& s) {
  qsizetype b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.mid(b, e - b);
}

struct RawLine {
  QByteArray bytes;  // with its line end
  bool header = false;
  bool key = false;
  QByteArray name;
};

// An independent reading of the file's lines: which are section headers and which are keys.
std::vector<RawLine> lines(QByteArray data) {
  std::vector<RawLine> out;
  if (data.startsWith("\xEF\xBB\xBF")) data.remove(0, 3);
  for (qsizetype at = 0; at < data.size();) {
    qsizetype lf = data.indexOf('\n', at);
    const qsizetype end = lf < 0 ? data.size() : lf + 1;
    RawLine l;
    l.bytes = data.mid(at, end - at);
    at = end;
    QByteArray text = l.bytes;
    if (text.endsWith('\n')) text.chop(1);
    if (text.endsWith('\r')) text.chop(1);
    const QByteArray t = trimmed(text);
    if (t.startsWith('[')) {
      const qsizetype close = t.indexOf(']');
      l.header = close > 0;
      if (l.header) l.name = trimmed(t.mid(1, close - 1));
    } else if (!t.isEmpty() && !t.startsWith(';')) {
      const qsizetype eq = t.indexOf('=');
      l.key = eq > 0;
      if (l.key) l.name = trimmed(t.left(eq));
    }
    out.push_back(l);
  }
  return out;
}

bool same(const QByteArray& a, const QByteArray& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// The lines outside section `s` (its headers and its keys), with their line ends.
QByteArrayList outside(const std::vector<RawLine>& all, const QByteArray& s) {
  QByteArrayList kept;
  bool in = false;
  for (const RawLine& l : all) {
    if (l.header) in = same(l.name, s);
    if (in && (l.header || l.key)) continue;
    kept << l.bytes;
  }
  return kept;
}

QByteArray cleanPiece(const std::string& s) {
  QByteArray b(s.data(), qsizetype(s.size()));
  b.replace('\n', ' ');
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const QString path = QDir::tempPath() + QStringLiteral("/fuzz_ini_%1.ini").arg(::getpid());
  FuzzedDataProvider in(data, size);
  const bool ownName = in.ConsumeBool();
  QByteArray section = cleanPiece(in.ConsumeRandomLengthString(12));
  const int count = in.ConsumeIntegralInRange<int>(0, 6);
  std::vector<platform::ProfileEntry> entries;
  for (int i = 0; i < count; ++i) {
    QByteArray key = cleanPiece(in.ConsumeRandomLengthString(8));
    QByteArray value = cleanPiece(in.ConsumeRandomLengthString(16));
    entries.push_back({key, value});
  }
  const std::string rest = in.ConsumeRemainingBytesAsString();
  const QByteArray before(rest.data(), qsizetype(rest.size()));
  {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
    f.write(before);
  }
  const std::vector<RawLine> old = lines(before);
  // Most runs rewrite a section the file has.
  if (!ownName) {
    for (const RawLine& l : old)
      if (l.header) {
        section = l.name;
        break;
      }
  }

  // Reads never fail on any file.
  for (const RawLine& l : old)
    if (l.key) {
      platform::GetPrivateProfileString(section, l.name, "d", 64, path);
      platform::GetPrivateProfileInt(section, l.name, 7, path);
      platform::GetPrivateProfileBool(section, l.name, true, path);
    }
  platform::GetPrivateProfileSection(section, path);

  const bool written = platform::WritePrivateProfileSections({{section, entries}}, path);
  QFile f(path);
  Check(f.open(QIODevice::ReadOnly), "file gone");
  const QByteArray after = f.readAll();
  f.close();
  if (!written) {
    Check(after == before, "a refused write changed the file");
    return 0;
  }
  if (std::getenv("FUZZ_INI_SHOW")) {
    std::fprintf(stderr, "section [%s], %d entries\nbefore: %s\nafter: %s\n", section.toPercentEncoding().constData(),
                 int(entries.size()), before.toPercentEncoding().constData(), after.toPercentEncoding().constData());
  }
  // A byte-order mark heading a later line becomes the file's own once every line above it
  // goes: the bytes stay, their reading does not. Known, and left out of the checks below.
  if (before.indexOf("\n\xEF\xBB\xBF") >= 0) return 0;
  Check(before.startsWith("\xEF\xBB\xBF") == after.startsWith("\xEF\xBB\xBF"), "byte-order mark");

  // What the write was not asked to change: the same lines, except that a last line may
  // gain its line end and a section added at the end a blank line before it.
  const QByteArray name = trimmed(section);
  QByteArrayList was = outside(old, name);
  QByteArrayList now = outside(lines(after), name);
  if (!was.isEmpty() && !was.last().endsWith('\n') && now.size() >= was.size() &&
      now[was.size() - 1].startsWith(was.last()))
    now[was.size() - 1] = was.last();
  if (now.size() == was.size() + 1 && trimmed(now.last()).isEmpty()) now.removeLast();
  Check(now == was, "a line outside the written section changed");

  // What was written reads back, in order for each key.
  const std::vector<platform::ProfileEntry> got = platform::GetPrivateProfileSection(section, path);
  Check(got.size() == entries.size(), "entry count");
  for (const platform::ProfileEntry& e : entries) {
    QByteArrayList want, read;
    for (const platform::ProfileEntry& w : entries)
      if (same(trimmed(w.key), trimmed(e.key))) want << w.value;
    for (const platform::ProfileEntry& r : got)
      if (same(r.key, trimmed(e.key))) read << r.value;
    Check(want == read, "a written value reads back otherwise");
  }
  // Writing what was read gives the same file.
  Check(platform::WritePrivateProfileSections({{section, got}}, path), "rewrite refused");
  QFile again(path);
  Check(again.open(QIODevice::ReadOnly) && again.readAll() == after, "a rewrite of the same entries changed the file");
  return 0;
}
