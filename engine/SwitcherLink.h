#pragma once
// The link to the switcher as the engine drives it: the bridge's own serial port or TCP
// client (SerialLink, TcpLink), or the console window's link handed over by the window.
// Writes never block the caller's thread.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

namespace engine {

class SwitcherLink : public QObject {
  Q_OBJECT
 public:
  using Written = std::function<void(bool written)>;
  using QObject::QObject;

  // Bytes can be written now.
  virtual bool isUp() const = 0;
  // "COM1 /dev/ttyUSB0", "/dev/serial/by-id/usb-...", "TCP 10.0.0.5:8888".
  virtual QString name() const = 0;
  // One whole command, in order behind what waits; done(true) once its last byte was handed
  // to the device or socket, done(false) when it was dropped (the link went away).
  virtual void write(const QByteArray& command, Written done) = 0;
  // Opens (or connects) and keeps the link up, trying again after a loss.
  virtual void open() {}
  // Closes on purpose: no more attempts.
  virtual void close() {}

 signals:
  void opening();
  void opened();
  // Went away by itself (unplugged, the peer closed, a failed read); `reason` says why.
  void lost(const QString& reason);
  void closed();
  // What the switcher sent, as it came, and each whole line (without CR LF).
  void bytesReceived(const QByteArray& bytes);
  void lineReceived(const QByteArray& line);
};

}  // namespace engine
