// Fuzz target for the feedback path: any bytes, cut into any pieces, through the serial
// assembler (byte by byte) and the TCP ring (pieces of any size), then every line through the
// real main window's line handler under the reply target the input chooses. Checks that both
// paths cut the same lines and that no line outgrows what the switcher can send.

#include <fuzzer/FuzzedDataProvider.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Feedback.h"
#include "Prompts.h"
#include "Unit1.h"

namespace {

constexpr int kReplyTargets = 8;
constexpr int kMaxPiece = 3000;  // more than the ring takes at once

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Boxes (a refused "Status." refresh on the closed link) are answered at once.
class SilentPrompts : public platform::Prompts {
 public:
  platform::Answer message(const platform::Prompt& p) override {
    return p.buttons == platform::Buttons::YesNo || p.buttons == platform::Buttons::YesNoCancel
               ? platform::Answer::No
               : platform::Answer::Ok;
  }
  QString openFileName(const platform::FileDialog&) override { return {}; }
  QString saveFileName(const platform::FileDialog&) override { return {}; }
};

SilentPrompts silent;

}  // namespace

// The font cache that Qt keeps for the whole process is still held at exit; it is not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // Settings of our own whose COM ports lead nowhere: the start-up search opens nothing.
  const QString config = QDir::tempPath() + "/fuzz_feedback.config";
  QDir().mkpath(config);
  qputenv("SWITCHER_CONFIG_DIR", config.toLocal8Bit());
  QFile ini(config + "/Switcher.ini");
  if (ini.open(QIODevice::WriteOnly))
    ini.write("[COM]\nCOM1=/nonexistent/a\nCOM2=/nonexistent/b\nCOM3=/nonexistent/c\n"
              "COM4=/nonexistent/d\n[TCP]\nConnect=0\n");
  ini.close();
  new QApplication(*argc, *argv);  // lives for the whole run
  platform::setPrompts(&silent);
  CreateForms();
  MainForm->Timer5->stop();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const auto target = in.ConsumeIntegralInRange<std::uint32_t>(0, kReplyTargets - 1);
  std::uint32_t seed = in.ConsumeIntegral<std::uint32_t>() | 1u;
  const std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();

  feedback::SerialAssembler serial;
  std::vector<QByteArray> serialLines;
  QByteArray line;
  for (std::uint8_t b : bytes)
    if (serial.push(b, &line)) serialLines.push_back(line);

  feedback::TcpAssembler tcp;
  std::vector<QByteArray> tcpLines;
  size_t at = 0;
  while (at < bytes.size()) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const size_t piece = std::min<size_t>(1 + seed % kMaxPiece, bytes.size() - at);
    tcp.feed(QByteArray(reinterpret_cast<const char*>(bytes.data() + at), int(piece)),
             [&](const QByteArray& l) { tcpLines.push_back(l); });
    at += piece;
  }

  Check(serialLines == tcpLines, "serial and TCP paths cut different lines");
  for (const QByteArray& l : serialLines) {
    Check(l.size() <= feedback::kMaxLineLength, "a line longer than a switcher line");
    const feedback::Line parsed = feedback::ParseLine(l);
    Check(parsed.output >= 0 && parsed.output <= kOutputCount, "output outside the grid");
    Check(parsed.output == 0 || parsed.kind != feedback::Kind::Other, "output of a non-report");
  }

  MainForm->ReplyTarget = target;
  for (const QByteArray& l : serialLines) MainForm->HandleFeedbackLine(l);
  // Pending memo lines and zero-time work run as they would between two reads.
  QCoreApplication::processEvents();
  MainForm->Busy = 0;
  return 0;
}
