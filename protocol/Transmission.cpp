#include "Transmission.h"

#include "Prompts.h"

namespace {

const QString kErrorCaption = QStringLiteral("Error");
constexpr int kHexDigitBase = 16;

// The link the mode buttons point at must be up; otherwise the operator is told and nothing
// leaves. The TCP box belongs to the application, the COM box to no window.
bool LinkReady(LinkContext& link) {
  if (link.tcpMode()) {
    if (!link.socketActive()) {
      platform::showMessage(link.mainWindow(), QStringLiteral("TCP/IP is not connected !"),
                            kErrorCaption);
      return false;
    }
    return true;
  }
  if (!link.serialOpen()) {
    platform::showMessage(nullptr, QStringLiteral("COM is not opened !"), kErrorCaption);
    return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

}  // namespace

bool SendCode(LinkContext& link, const QByteArray& text) {
  if (!LinkReady(link)) {
    return false;
  }
  if (link.tcpMode()) {
    link.socketSend(text);
  } else {
    // A failed byte does not stop the rest: the port reports its own faults, and the
    // switcher may still make sense of what did get through.
    for (char c : text) {
      link.serialWriteByte(static_cast<std::uint8_t>(c));
    }
  }
  link.appendSendLog(text);
  return true;
}

bool SendHexCode(LinkContext& link, const QByteArray& text) {
  if (!LinkReady(link)) {
    return false;
  }
  // Only the blank (code 32) separates digit pairs; a tab or any other character is an
  // error, so that a typo never sends a byte the operator did not spell.
  QByteArray digits;
  digits.reserve(text.size());
  for (char c : text) {
    if (c != ' ') {
      digits += AsciiUpper(c);
    }
  }
  for (char c : digits) {
    if (HexValue(c) < 0) {
      platform::showMessage(link.mainWindow(), QStringLiteral("Error! Invalid Data!"),
                            kErrorCaption);
      return false;
    }
  }
  // An odd last digit forms no byte and is left out of the log as well.
  digits.truncate(digits.size() - digits.size() % 2);
  const bool tcp = link.tcpMode();
  QByteArray bytes;
  bytes.reserve(digits.size() / 2);
  for (qsizetype k = 0; k < digits.size(); k += 2) {
    const auto byte =
        static_cast<std::uint8_t>(HexValue(digits[k]) * kHexDigitBase + HexValue(digits[k + 1]));
    bytes += static_cast<char>(byte);
    if (tcp) {
      link.socketSend(QByteArray(1, static_cast<char>(byte)));
    } else {
      link.serialWriteByte(byte);
    }
  }
  link.appendHexSendLog(digits + "(HEX)", bytes);
  return true;
}
