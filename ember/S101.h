// S101, variant 1 (the escaping framing every Ember+ provider must speak):
//   BOF | slot msg command version [flags dtd appByteCount appBytes... payload] CRC(lo, hi) | EOF
// where every byte at or above 0xF8 between BOF and EOF, CRC included, goes as CE, byte ^ 0x20.
// The CRC is CRC-16/X-25 (reflected polynomial 0x8408, initial 0xFFFF) over the unescaped bytes,
// inverted, low byte first; over data and CRC together a receiver gets 0xF0B8.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <vector>

namespace ember::s101 {

constexpr std::uint8_t kBof = 0xFE, kEof = 0xFF, kCe = 0xFD, kXor = 0x20, kInvalid = 0xF8;
constexpr std::uint8_t kSlot = 0x00, kMessageEmber = 0x0E, kVersion = 0x01;
constexpr std::uint8_t kCommandEmber = 0x00, kCommandKeepAliveRequest = 0x01, kCommandKeepAliveResponse = 0x02;
constexpr std::uint8_t kFlagFirst = 0x80, kFlagLast = 0x40, kFlagEmpty = 0x20;
constexpr std::uint8_t kFlagSingle = kFlagFirst | kFlagLast, kFlagMiddle = 0x00;
constexpr std::uint8_t kDtdGlow = 0x01;
constexpr std::uint8_t kGlowMinor = 0x1F, kGlowMajor = 0x02;  // Glow DTD 2.31
constexpr std::uint16_t kCrcGood = 0xF0B8;                     // CRC over data and its inverted CRC

// The documents limit an EmBER packet's payload to 1024 bytes; longer messages go as several.
constexpr int kMaxPacketPayload = 1024;
// A frame longer than this (unescaped) is garbage: a legal packet is about 1 KiB, and consumers
// split theirs the same way. The bound only keeps a stream without EOF from growing without end.
constexpr int kMaxFrame = 64 * 1024;
// A reassembled multi-packet message longer than this is dropped (a request is a few hundred bytes).
constexpr int kMaxMessage = 1024 * 1024;

// CRC-16/X-25 register after the bytes, not inverted (start 0xFFFF).
std::uint16_t Crc(const char* data, int size, std::uint16_t crc = 0xFFFF);

// BOF, body escaped, inverted CRC (low byte first, escaped), EOF.
QByteArray Frame(const QByteArray& body);
QByteArray KeepAliveRequest();   // FE 00 0E 01 01 94 E4 FF
QByteArray KeepAliveResponse();  // FE 00 0E 02 01 FD DC CE FF
// One EmBER packet: header with these flags, Glow dtd and version, then the payload.
QByteArray EmberPacket(std::uint8_t flags, const QByteArray& payload);
// A whole Glow message as frames: single when it fits in kMaxPacketPayload, else first,
// middle..., last, each carrying at most kMaxPacketPayload payload bytes. An empty message goes
// as one single packet flagged empty.
std::vector<QByteArray> EncodeMessage(const QByteArray& glow);

// Streaming: frames from any split of the input. Bytes outside a frame are skipped; a BOF always
// starts anew (a partial frame is dropped); a frame whose CRC is wrong, or that passes kMaxFrame,
// is dropped and counted.
class Deframer {
 public:
  // Appends each complete, CRC-checked frame's body (unescaped, without CRC) to out.
  void push(const char* bytes, int size, std::vector<QByteArray>* out);
  int badFrames() const { return badFrames_; }  // CRC wrong, too short, too long, cut by a BOF

 private:
  enum class State { Outside, Inside, Escape };
  State state_ = State::Outside;
  QByteArray buf_;
  int badFrames_ = 0;
};

// A frame body read: what the provider acts on.
struct Packet {
  enum Kind { Ember, KeepAliveRequest, KeepAliveResponse, Other } kind = Other;
  std::uint8_t flags = 0;  // Ember only
  QByteArray payload;      // Ember only: the bytes after the app bytes
};
// False when the body is no S101 message of ours (wrong slot or message type, cut header).
bool ParseBody(const QByteArray& body, Packet* packet);

// Bytes in, events out: the deframer, the header and the reassembly of multi-packet messages.
class Decoder {
 public:
  struct Event {
    enum Kind { Message, KeepAliveRequest, KeepAliveResponse } kind;
    QByteArray data;  // Message: the whole Glow message
  };
  void push(const char* bytes, int size, std::vector<Event>* out);
  void push(const QByteArray& bytes, std::vector<Event>* out) { push(bytes.constData(), int(bytes.size()), out); }
  int badFrames() const { return deframer_.badFrames(); }
  // Frames that were not ours, middle or last packets with no first, a first that cut a partial
  // message, messages over kMaxMessage.
  int droppedPackets() const { return droppedPackets_; }

 private:
  void onPacket(const Packet& packet, std::vector<Event>* out);

  Deframer deframer_;
  QByteArray partial_;
  bool inMessage_ = false;
  int droppedPackets_ = 0;
};

}  // namespace ember::s101
