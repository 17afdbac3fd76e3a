// Throughput of the feedback line path: the reply burst to "Status." on a 256-output
// switcher (one video and one audio report per output, 512 lines) through line assembly
// and ParseLine, on the TCP path (in read events of a typical size) and the serial path
// (byte by byte). Usage: bench_feedback [bursts]

#include <QByteArray>
#include <QByteArrayList>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Feedback.h"

namespace {

constexpr int kOutputs = 256;
constexpr int kDefaultBursts = 2000;
constexpr int kReadEventBytes = 1460;  // one TCP segment's payload per read event
constexpr double kNsPerSecond = 1e9;
constexpr double kNsPerMicrosecond = 1e3;
constexpr double kBytesPerMB = 1e6;

QByteArray Field(int value) { return QByteArray::number(value).rightJustified(3, '0'); }

QByteArray StatusBurst() {
  QByteArray burst;
  for (int out = 1; out <= kOutputs; ++out) {
    const QByteArray in = Field((out * 7) % kOutputs + 1);
    burst += (out % 2 ? QByteArray("VIDEO: ") : QByteArray(" A/V : ")) + in + " > " + Field(out) +
             "\r\n";
    burst += "AUDIO: " + in + " > " + Field(out) + "\r\n";
  }
  return burst;
}

struct Result {
  qint64 ns = 0;
  long long lines = 0;
  long long checksum = 0;  // keeps the parse from being optimised away
};

Result RunTcp(const QByteArray& burst, int bursts) {
  feedback::TcpAssembler tcp;
  Result r;
  const auto onLine = [&](const QByteArray& text) {
    const feedback::Line line = feedback::ParseLine(text);
    r.checksum += line.input + line.output + static_cast<int>(line.kind);
    ++r.lines;
  };
  QElapsedTimer timer;
  timer.start();
  for (int b = 0; b < bursts; ++b) {
    for (int pos = 0; pos < burst.size(); pos += kReadEventBytes) {
      const QByteArray event = QByteArray::fromRawData(
          burst.constData() + pos, qMin<qsizetype>(kReadEventBytes, burst.size() - pos));
      tcp.feed(event, onLine);
    }
  }
  r.ns = timer.nsecsElapsed();
  return r;
}

Result RunSerial(const QByteArray& burst, int bursts) {
  feedback::SerialAssembler serial;
  Result r;
  QByteArray text;
  QElapsedTimer timer;
  timer.start();
  for (int b = 0; b < bursts; ++b) {
    for (char c : burst) {
      if (serial.push(static_cast<std::uint8_t>(c), &text)) {
        const feedback::Line line = feedback::ParseLine(text);
        r.checksum += line.input + line.output + static_cast<int>(line.kind);
        ++r.lines;
      }
    }
  }
  r.ns = timer.nsecsElapsed();
  return r;
}

void Print(const char* name, const Result& r, qsizetype burstBytes, int bursts) {
  const double seconds = r.ns / kNsPerSecond;
  std::printf("%-28s %10.0f lines/s  %8.2f MB/s  %9.1f us/burst  (checksum %lld)\n", name,
              r.lines / seconds, double(burstBytes) * bursts / kBytesPerMB / seconds,
              r.ns / kNsPerMicrosecond / bursts, r.checksum);
}

}  // namespace

int main(int argc, char** argv) {
  const int bursts = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultBursts;
  const QByteArray burst = StatusBurst();
  std::printf("burst: %d lines, %lld bytes; %d bursts per run\n", 2 * kOutputs,
              static_cast<long long>(burst.size()), bursts);

  RunTcp(burst, bursts / 10 + 1);  // warm-up
  Print("TcpAssembler + ParseLine", RunTcp(burst, bursts), burst.size(), bursts);
  RunSerial(burst, bursts / 10 + 1);
  Print("SerialAssembler + ParseLine", RunSerial(burst, bursts), burst.size(), bursts);
  return 0;
}
