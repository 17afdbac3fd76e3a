#include "Names.h"

#include <QSet>
#include <QStringDecoder>

#include <vector>

#include "Ini.h"

namespace names {
namespace {

constexpr char kInputsSection[] = "Inputs";
constexpr char kOutputsSection[] = "Outputs";
constexpr char kHeader[] = "kind,number,name";
constexpr char kCrLf[] = "\r\n";
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr int kCsvFields = 3;
constexpr int kMaxNumberDigits = 3;

const char* kindWord(Kind k) { return k == Kind::Input ? "input" : "output"; }

// Besides C0 and C1: format characters (bidi overrides flip what a client shows after the
// name) and line or paragraph separators (they break a client's line). The zero-width
// non-joiner and joiner are letters' business (Persian, Indic scripts, emoji sequences).
bool hasControl(const QString& s) {
  constexpr char32_t kZeroWidthNonJoiner = 0x200C, kZeroWidthJoiner = 0x200D;
  for (const char32_t c : s.toUcs4()) {
    if (c == kZeroWidthNonJoiner || c == kZeroWidthJoiner) continue;
    const QChar::Category k = QChar::category(c);
    if (k == QChar::Other_Control || k == QChar::Other_Format || k == QChar::Separator_Line ||
        k == QChar::Separator_Paragraph)
      return true;
  }
  return false;
}

int codePoints(const QString& s) {
  int n = 0;
  for (QChar c : s)
    if (!c.isLowSurrogate()) ++n;
  return n;
}

// "1" to "256" in plain decimal digits (leading zeros allowed), else 0.
int parseNumber(const QByteArray& s) {
  if (s.isEmpty() || s.size() > kMaxNumberDigits + 2) return 0;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v >= 1 && v <= kMaxNumber ? v : 0;
}

bool decodeUtf8(const QByteArray& bytes, QString* out) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  *out = utf8.decode(bytes);
  return !utf8.hasError();
}

QByteArray csvField(const QString& text) {
  QByteArray b = text.toUtf8();
  if (!b.contains(',') && !b.contains('"') && !b.contains('\r') && !b.contains('\n')) return b;
  b.replace("\"", "\"\"");
  return '"' + b + '"';
}

// One CSV record from pos on. A quoting fault spoils the record; reading goes on at the
// next line break after the fault, so one stray quote costs one row, not the rest of the
// file.
struct Record {
  QList<QByteArray> fields;
  bool badQuoting = false;
};

Record readRecord(const QByteArray& data, qsizetype* pos) {
  Record r;
  const qsizetype n = data.size();
  qsizetype i = *pos;
  const auto skipLine = [&](qsizetype from) {
    r.badQuoting = true;
    const qsizetype lf = data.indexOf('\n', from);
    *pos = lf < 0 ? n : lf + 1;
  };
  for (;;) {
    QByteArray field;
    if (i < n && data[i] == '"') {
      const qsizetype open = i++;
      for (;;) {
        if (i >= n) {
          skipLine(open);
          return r;
        }
        if (data[i] == '"') {
          if (i + 1 < n && data[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += data[i++];
      }
      if (i < n && data[i] != ',' && data[i] != '\r' && data[i] != '\n') {
        skipLine(i);
        return r;
      }
    } else {
      while (i < n && data[i] != ',' && data[i] != '\r' && data[i] != '\n') {
        if (data[i] == '"') {
          skipLine(i);
          return r;
        }
        field += data[i++];
      }
    }
    r.fields.append(field);
    if (i < n && data[i] == ',') {
      ++i;
      continue;
    }
    if (i < n && data[i] == '\r') ++i;
    if (i < n && data[i] == '\n') ++i;
    *pos = i;
    return r;
  }
}

}  // namespace

QString Problem(const QString& name) {
  if (hasControl(name))
    return QStringLiteral("A name cannot hold control characters such as tabs or line breaks.");
  const int length = codePoints(name.trimmed());
  if (length > kMaxLength)
    return QStringLiteral("A name holds at most %1 characters; this one has %2.")
        .arg(kMaxLength)
        .arg(length);
  return {};
}

QString Names::name(Kind kind, int number) const {
  return number >= 1 && number <= kMaxNumber ? of(kind)[size_t(number)] : QString();
}

QString Names::set(Kind kind, int number, const QString& name) {
  if (number < 1 || number > kMaxNumber)
    return QStringLiteral("There is no %1 %2.").arg(QLatin1String(kindWord(kind))).arg(number);
  QString problem = Problem(name);
  if (problem.isEmpty()) of(kind)[size_t(number)] = name.trimmed();
  return problem;
}

bool Names::isEmpty() const {
  for (int k = 1; k <= kMaxNumber; ++k)
    if (!inputs[size_t(k)].isEmpty() || !outputs[size_t(k)].isEmpty()) return false;
  return true;
}

void Names::takeChanges(const Names& before, const Names& after) {
  for (Kind kind : {Kind::Input, Kind::Output})
    for (size_t k = 1; k <= kMaxNumber; ++k)
      if (after.of(kind)[k] != before.of(kind)[k]) of(kind)[k] = after.of(kind)[k];
}

Names Names::load(const QString& fileName, QStringList* warnings) {
  Names names;
  for (Kind kind : {Kind::Input, Kind::Output}) {
    const char* section = kind == Kind::Input ? kInputsSection : kOutputsSection;
    QSet<int> seen;
    for (const platform::ProfileEntry& e : platform::GetPrivateProfileSection(section, fileName)) {
      const int number = parseNumber(e.key);
      QString text;
      QString why;
      if (number == 0)
        why = QStringLiteral("key is not a number from 1 to %1").arg(kMaxNumber);
      else if (seen.contains(number))
        why = QStringLiteral("number named earlier in the section");
      else if (!decodeUtf8(e.value, &text))
        why = QStringLiteral("name is not UTF-8 text");
      else if (hasControl(text))
        why = QStringLiteral("name holds control characters");
      else if (!names.set(kind, number, text).isEmpty())
        why = QStringLiteral("name longer than %1 characters").arg(kMaxLength);
      if (number != 0) seen.insert(number);
      if (why.isEmpty()) continue;
      // Never dropped for being misunderstood: another program's or a later version's entry.
      names.kept_.push_back({kind, e.key, e.value, why});
      if (warnings)
        *warnings << QStringLiteral("%1 [%2] %3: kept, not shown: %4")
                         .arg(fileName, QLatin1String(section), QString::fromUtf8(e.key), why);
    }
  }
  return names;
}

bool Names::save(const QString& fileName) const {
  std::vector<platform::ProfileSection> sections;
  for (Kind kind : {Kind::Input, Kind::Output}) {
    platform::ProfileSection s{kind == Kind::Input ? kInputsSection : kOutputsSection, {}};
    for (int k = 1; k <= kMaxNumber; ++k)
      if (!of(kind)[size_t(k)].isEmpty())
        s.entries.push_back({QByteArray::number(k), of(kind)[size_t(k)].toUtf8()});
    for (const KeptEntry& e : kept_)
      if (e.kind == kind) s.entries.push_back({e.key, e.value});
    sections.push_back(std::move(s));
  }
  return platform::WritePrivateProfileSections(sections, fileName);
}

QStringList Names::keptText() const {
  QStringList out;
  for (const KeptEntry& e : kept_) {
    const QString key = QString::fromUtf8(e.key);
    constexpr int kPlainDigits = 9;  // a number, if out of range, reads best as it is
    bool plain = !e.key.isEmpty() && e.key.size() <= kPlainDigits;
    for (char c : e.key) plain = plain && c >= '0' && c <= '9';
    out << QStringLiteral("%1 %2 (%3)")
               .arg(QLatin1String(kindWord(e.kind)),
                    plain ? key : QLatin1Char('"') + key + QLatin1Char('"'), e.why);
  }
  return out;
}

QByteArray Names::toCsv() const {
  QByteArray out = QByteArray(kHeader) + kCrLf;
  for (Kind kind : {Kind::Input, Kind::Output})
    for (int k = 1; k <= kMaxNumber; ++k)
      if (!of(kind)[size_t(k)].isEmpty())
        out += QByteArray(kindWord(kind)) + ',' + QByteArray::number(k) + ',' +
               csvField(of(kind)[size_t(k)]) + kCrLf;
  return out;
}

CsvImport Names::importCsv(const QByteArray& csv) {
  CsvImport result;
  const QByteArray data = csv.startsWith(kUtf8Bom) ? csv.mid(int(sizeof kUtf8Bom) - 1) : csv;
  QSet<int> seen[2];
  qsizetype pos = 0;
  for (int row = 1; pos < data.size(); ++row) {
    const Record r = readRecord(data, &pos);
    const auto skip = [&](const QString& why) {
      result.skipped << QStringLiteral("Row %1: %2.").arg(row).arg(why);
    };
    if (r.badQuoting) {
      skip(QStringLiteral("bad quoting"));
      continue;
    }
    if (r.fields.size() == 1 && r.fields[0].trimmed().isEmpty()) continue;  // blank line
    if (row == 1 && r.fields.size() == kCsvFields &&
        r.fields.join(',').trimmed().compare(kHeader, Qt::CaseInsensitive) == 0)
      continue;
    if (r.fields.size() != kCsvFields) {
      skip(QStringLiteral("%1 fields where kind,number,name takes 3").arg(r.fields.size()));
      continue;
    }
    const QByteArray kindText = r.fields[0].trimmed().toLower();
    if (kindText != "input" && kindText != "output") {
      skip(QStringLiteral("the kind \"%1\" is neither input nor output")
               .arg(QString::fromUtf8(r.fields[0])));
      continue;
    }
    const Kind kind = kindText == "input" ? Kind::Input : Kind::Output;
    const int number = parseNumber(r.fields[1].trimmed());
    if (number == 0) {
      skip(QStringLiteral("the number \"%1\" is not from 1 to %2")
               .arg(QString::fromUtf8(r.fields[1]))
               .arg(kMaxNumber));
      continue;
    }
    QSet<int>& done = seen[kind == Kind::Input ? 0 : 1];
    if (done.contains(number)) {
      skip(QStringLiteral("%1 %2 is named in an earlier row")
               .arg(QLatin1String(kindWord(kind)))
               .arg(number));
      continue;
    }
    QString text;
    if (!decodeUtf8(r.fields[2], &text)) {
      skip(QStringLiteral("the name is not UTF-8 text"));
      continue;
    }
    const QString problem = set(kind, number, text);
    if (!problem.isEmpty()) {
      skip(problem.chopped(1));  // the sentence's full stop: the row line ends in its own
      continue;
    }
    done.insert(number);
    ++result.imported;
  }
  return result;
}

}  // namespace names
