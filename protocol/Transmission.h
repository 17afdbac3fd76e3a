#pragma once
// SendCode / SendHexCode: the only way out to the switcher. They reach the link state
// through LinkContext, which the main window implements (tests use a fake).

#include <QByteArray>
#include <cstdint>

class QWidget;

class LinkContext {
 public:
  virtual ~LinkContext() = default;
  // True when the TCP/IP mode button is checked; otherwise COM mode.
  virtual bool tcpMode() const = 0;
  // True from the socket's connect event to its disconnect event.
  virtual bool socketActive() const = 0;
  // Non-blocking send on the client socket.
  virtual void socketSend(const QByteArray& bytes) = 0;
  // True while a serial port object exists (SerialPort not null).
  virtual bool serialOpen() const = 0;
  // One-byte write on the serial port; true when written.
  virtual bool serialWriteByte(std::uint8_t byte) = 0;
  // Appends one line to the send log (Memo5).
  virtual void appendSendLog(const QByteArray& line) = 0;
  // The send log's line of a HEX code, with the bytes that went out for the session log.
  virtual void appendHexSendLog(const QByteArray& line, const QByteArray& bytes) {
    static_cast<void>(bytes);
    appendSendLog(line);
  }
  // Owner of the boxes that belong to the main window.
  virtual QWidget* mainWindow() const = 0;
};

// Both return false when nothing went out (link down, or for HEX a text that is not hex);
// the operator has then been told why.
bool SendCode(LinkContext& link, const QByteArray& text);
bool SendHexCode(LinkContext& link, const QByteArray& text);
