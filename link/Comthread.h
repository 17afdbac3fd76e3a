#pragma once
// The serial monitor thread: waits for received bytes and posts each one, in order,
// to the window as a SerialByteEvent (type 1025).

#include <QEvent>
#include <cstdint>

class QObject;

constexpr QEvent::Type WM_SERIALBYTE = static_cast<QEvent::Type>(1025);

class SerialByteEvent : public QEvent {
 public:
  explicit SerialByteEvent(std::uint8_t b) : QEvent(WM_SERIALBYTE), byte(b) {}
  const std::uint8_t byte;
};

// Implemented in Comthread.cpp. Owns the device once created: it closes it and frees
// itself when its body returns. Only ComPort creates and terminates it.
class TComThread;
