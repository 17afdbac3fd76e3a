#pragma once
// The Prometheus text exposition format (version 0.0.4): families with their HELP and TYPE
// lines, samples with escaped label values, and one histogram kind.

#include <QByteArray>
#include <QString>

#include <array>
#include <utility>
#include <vector>

namespace metrics {

// The Content-Type a scraper expects for this text.
constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
// A label value longer than this is cut: a switcher's reply is no place for a long text.
constexpr int kMaxLabelChars = 64;

using Labels = std::vector<std::pair<const char*, QString>>;

// A label value as the format wants it: backslash, double quote and line feed escaped, other
// control characters dropped, cut to kMaxLabelChars characters.
QByteArray EscapeLabel(const QString& value);

// Seconds from a command to its answer: buckets from 5 ms to 10 s.
class Histogram {
 public:
  static constexpr std::array<double, 10> kBounds{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10};
  void observe(double seconds);
  quint64 count() const { return total; }
  double sum() const { return seconds; }
  // Observations at or under kBounds[i] (cumulative, as the format counts them).
  quint64 bucket(std::size_t i) const;

 private:
  std::array<quint64, kBounds.size()> counts{};
  quint64 total = 0;
  double seconds = 0;
};

// This process's resident memory in bytes, and when it started in seconds since the epoch
// (from /proc); 0 when unknown.
double ResidentBytes();
double StartTimeSeconds();

class Exposition {
 public:
  // Starts a family: type is "counter", "gauge" or "histogram".
  void family(const char* name, const char* help, const char* type);
  void sample(const char* name, double value, const Labels& labels = {});
  void histogram(const char* name, const Histogram& h);
  const QByteArray& text() const { return out; }

 private:
  void line(const QByteArray& name, const QByteArray& labels, double value);
  QByteArray out;
};

}  // namespace metrics
