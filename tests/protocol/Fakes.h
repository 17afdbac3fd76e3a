#pragma once
// Test double for the protocol library: a link that records what leaves it.

#include <QByteArrayList>
#include <QList>
#include <QSet>

#include <utility>

#include "FakePrompts.h"
#include "Transmission.h"

// Records what leaves, in order, as readable entries: "tcp <hex>" per socket send,
// "com <hex>" per serial byte and "log <text>" per send-log line.
class FakeLink final : public LinkContext {
 public:
  bool tcpMode() const override { return tcp; }
  bool socketActive() const override { return active; }
  void socketSend(const QByteArray& bytes) override {
    trace.append("tcp " + bytes.toHex(' ').toUpper());
  }
  bool serialOpen() const override { return serial; }
  bool serialWriteByte(std::uint8_t byte) override {
    const int index = writes++;
    trace.append("com " + QByteArray(1, static_cast<char>(byte)).toHex().toUpper());
    return !failingWrites.contains(index);
  }
  void appendSendLog(const QByteArray& line) override { trace.append("log " + line); }
  // Never dereferenced: the prompts only compare owners, and no widget exists here.
  QWidget* mainWindow() const override {
    return reinterpret_cast<QWidget*>(const_cast<char*>(&windowTag_));
  }

  static FakeLink tcpUp() {
    FakeLink l;
    l.tcp = true;
    l.active = true;
    return l;
  }
  static FakeLink comOpen() {
    FakeLink l;
    l.serial = true;
    return l;
  }

  bool tcp = false;
  bool active = false;
  bool serial = false;
  QSet<int> failingWrites;  // indices of serialWriteByte calls that report failure
  int writes = 0;
  QByteArrayList trace;

 private:
  char windowTag_ = 0;
};
