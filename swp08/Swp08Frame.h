// SW-P-08 data link layer: DLE STX | DATA BTC CHK (every 0x10 doubled) | DLE ETX, and the
// two-byte acknowledges DLE ACK / DLE NAK that may come between (or inside) frames.
#pragma once

#include <QByteArray>

#include <vector>

namespace swp08 {

constexpr char kDle = 0x10, kStx = 0x02, kEtx = 0x03, kAck = 0x06, kNak = 0x15;

// DATA longer than this is garbage: a valid count is one byte (at most 255), so the bound only
// keeps a stream without DLE ETX from growing without end.
constexpr int kMaxFrameData = 1024;

// DLE STX, DATA BTC CHK with every 0x10 doubled, DLE ETX. data = command byte + message
// (at most 255 bytes: BTC is one byte).
QByteArray Frame(const QByteArray& data);
QByteArray AckBytes();  // 10 06
QByteArray NakBytes();  // 10 15

class Deframer {  // one per connection; streaming, any split of the input
 public:
  struct Event {
    enum Kind { Message, Ack, Nak, Bad } kind;
    QByteArray data;  // Message: DATA (command byte + message), unstuffed, BTC and CHK checked;
                      // Bad: what the frame held, unstuffed (for the log)
  };
  // Appends what the bytes complete. Bad: a frame ended (DLE ETX) whose count or checksum is
  // wrong -> the caller NAKs it. Bytes outside a frame are skipped (resync after garbage); a
  // DLE STX inside a frame drops the partial frame and starts anew; a frame longer than
  // kMaxFrameData is dropped as garbage.
  //
  // Leniency for senders that stuff DATA but not their own BTC and CHK:
  // - inside a frame, DLE followed by anything but DLE, STX, ETX, ACK or NAK is a literal 0x10;
  // - `10 10 03` ends the frame when what came before it, with the 0x10 as CHK, is a valid
  //   message (else the pair is a stuffed 0x10 and the 03 is data);
  // - DLE ACK / DLE NAK inside a frame is an embedded acknowledge, except when DLE ETX follows
  //   it at once and the frame is valid only with 10 06 / 10 15 as its unstuffed BTC and CHK.
  void push(const char* bytes, int size, std::vector<Event>* out);

 private:
  enum class State { Idle, IdleDle, Frame, FrameDle, FrameAck, FrameAckDle };
  void append(char byte);
  void endFrame(std::vector<Event>* out);

  State state_ = State::Idle;
  QByteArray buf_;         // DATA BTC CHK so far, unstuffed
  bool afterPair_ = false;  // the last byte of buf_ came from DLE DLE
  char heldAck_ = 0;        // FrameAck*: the ACK or NAK byte held back
};

// True when unstuffed DATA BTC CHK has a right count and checksum.
bool ValidFrameBody(const QByteArray& body);

}  // namespace swp08
