#include "Exposition.h"

#include <QFile>
#include <QLocale>

#include <unistd.h>

#include <cmath>

namespace metrics {

QByteArray EscapeLabel(const QString& value) {
  QByteArray out;
  int kept = 0;
  for (const QChar ch : value) {
    if (kept == kMaxLabelChars) break;
    if (ch == QLatin1Char('\\')) out += "\\\\";
    else if (ch == QLatin1Char('"')) out += "\\\"";
    else if (ch == QLatin1Char('\n')) out += "\\n";
    else if (ch.unicode() < 0x20 || ch.unicode() == 0x7f || ch.isSurrogate()) continue;
    else out += QString(ch).toUtf8();
    ++kept;
  }
  return out;
}

void Histogram::observe(double s) {
  for (std::size_t i = 0; i < kBounds.size(); ++i)
    if (s <= kBounds[i]) {
      ++counts[i];
      break;
    }
  ++total;
  seconds += s;
}

quint64 Histogram::bucket(std::size_t i) const {
  quint64 n = 0;
  for (std::size_t k = 0; k <= i && k < counts.size(); ++k) n += counts[k];
  return n;
}

namespace {
QByteArray number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  if (v == std::floor(v) && std::fabs(v) < 1e15) return QByteArray::number(qint64(v));
  return QString::number(v, 'g', QLocale::FloatingPointShortest).toLatin1();
}
}  // namespace

double ResidentBytes() {
  QFile f(QStringLiteral("/proc/self/statm"));
  if (!f.open(QIODevice::ReadOnly)) return 0;
  const QList<QByteArray> fields = f.readAll().split(' ');
  if (fields.size() < 2) return 0;
  return double(fields[1].toLongLong()) * double(sysconf(_SC_PAGESIZE));
}

double StartTimeSeconds() {
  // Field 22 of /proc/self/stat, in clock ticks since boot, after the command in parentheses.
  QFile stat(QStringLiteral("/proc/self/stat"));
  if (!stat.open(QIODevice::ReadOnly)) return 0;
  const QByteArray line = stat.readAll();
  const QList<QByteArray> after = line.mid(line.lastIndexOf(')') + 2).split(' ');
  constexpr int kStartField = 22 - 3;  // pid, comm and state come before the rest
  if (after.size() <= kStartField) return 0;
  const double ticks = after[kStartField].toDouble();
  QFile boot(QStringLiteral("/proc/stat"));
  if (!boot.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& l : boot.readAll().split('\n'))
    if (l.startsWith("btime ")) return l.mid(6).trimmed().toDouble() + ticks / double(sysconf(_SC_CLK_TCK));
  return 0;
}

void Exposition::family(const char* name, const char* help, const char* type) {
  out += QByteArray("# HELP ") + name + ' ' + help + '\n';
  out += QByteArray("# TYPE ") + name + ' ' + type + '\n';
}

void Exposition::line(const QByteArray& name, const QByteArray& labels, double value) {
  out += name;
  if (!labels.isEmpty()) out += '{' + labels + '}';
  out += ' ' + number(value) + '\n';
}

void Exposition::sample(const char* name, double value, const Labels& labels) {
  QByteArray l;
  for (const auto& [key, text] : labels) {
    if (!l.isEmpty()) l += ',';
    l += QByteArray(key) + "=\"" + EscapeLabel(text) + '"';
  }
  line(name, l, value);
}

void Exposition::histogram(const char* name, const Histogram& h) {
  const QByteArray base(name);
  for (std::size_t i = 0; i < Histogram::kBounds.size(); ++i)
    line(base + "_bucket", "le=\"" + number(Histogram::kBounds[i]) + '"', double(h.bucket(i)));
  line(base + "_bucket", "le=\"+Inf\"", double(h.count()));
  line(base + "_sum", {}, h.sum());
  line(base + "_count", {}, double(h.count()));
}

}  // namespace metrics
