#include "S101.h"

namespace ember::s101 {

namespace {

void PutEscaped(QByteArray* out, std::uint8_t byte) {
  if (byte >= kInvalid) {
    out->append(char(kCe));
    out->append(char(byte ^ kXor));
  } else {
    out->append(char(byte));
  }
}

QByteArray Header(std::uint8_t command) {
  QByteArray body;
  body.append(char(kSlot));
  body.append(char(kMessageEmber));
  body.append(char(command));
  body.append(char(kVersion));
  return body;
}

}  // namespace

std::uint16_t Crc(const char* data, int size, std::uint16_t crc) {
  for (int i = 0; i < size; ++i) {
    crc ^= std::uint8_t(data[i]);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0x8408) : std::uint16_t(crc >> 1);
  }
  return crc;
}

QByteArray Frame(const QByteArray& body) {
  const std::uint16_t crc = std::uint16_t(~Crc(body.constData(), int(body.size())));
  QByteArray out;
  out.reserve(body.size() + body.size() / 8 + 8);
  out.append(char(kBof));
  for (char c : body) PutEscaped(&out, std::uint8_t(c));
  PutEscaped(&out, std::uint8_t(crc & 0xFF));
  PutEscaped(&out, std::uint8_t(crc >> 8));
  out.append(char(kEof));
  return out;
}

QByteArray KeepAliveRequest() { return Frame(Header(kCommandKeepAliveRequest)); }
QByteArray KeepAliveResponse() { return Frame(Header(kCommandKeepAliveResponse)); }

QByteArray EmberPacket(std::uint8_t flags, const QByteArray& payload) {
  QByteArray body = Header(kCommandEmber);
  body.append(char(flags));
  body.append(char(kDtdGlow));
  body.append(char(2));  // app bytes: the Glow version, minor first
  body.append(char(kGlowMinor));
  body.append(char(kGlowMajor));
  body.append(payload);
  return Frame(body);
}

std::vector<QByteArray> EncodeMessage(const QByteArray& glow) {
  std::vector<QByteArray> frames;
  if (glow.isEmpty()) {
    frames.push_back(EmberPacket(kFlagSingle | kFlagEmpty, {}));
    return frames;
  }
  if (glow.size() <= kMaxPacketPayload) {
    frames.push_back(EmberPacket(kFlagSingle, glow));
    return frames;
  }
  // One widely used consumer takes a reassembled message whose third byte is 0x66 for a stream
  // packet and loses it: a Root of 26112 to 26367 bytes has its length written in three bytes
  // (60 83 00 66 ..), as BER allows.
  const QByteArray message = std::uint8_t(glow[0]) == 0x60 && std::uint8_t(glow[1]) == 0x82 && std::uint8_t(glow[2]) == 0x66
                                 ? QByteArray("\x60\x83\x00", 3) + glow.mid(2)
                                 : glow;
  for (qsizetype at = 0; at < message.size(); at += kMaxPacketPayload) {
    const bool first = at == 0, last = at + kMaxPacketPayload >= message.size();
    const std::uint8_t flags = first ? kFlagFirst : last ? kFlagLast : kFlagMiddle;
    frames.push_back(EmberPacket(flags, message.mid(at, kMaxPacketPayload)));
  }
  return frames;
}

void Deframer::push(const char* bytes, int size, std::vector<QByteArray>* out) {
  for (int i = 0; i < size; ++i) {
    const std::uint8_t b = std::uint8_t(bytes[i]);
    if (b == kBof) {
      if (state_ != State::Outside) ++badFrames_;  // a partial frame cut by a new one
      state_ = State::Inside;
      buf_.clear();
      continue;
    }
    if (state_ == State::Outside) continue;
    if (b == kEof) {
      const bool escapeOpen = state_ == State::Escape;
      state_ = State::Outside;
      if (escapeOpen || buf_.size() < 2 || Crc(buf_.constData(), int(buf_.size())) != kCrcGood) {
        ++badFrames_;
      } else {
        buf_.chop(2);
        out->push_back(buf_);
      }
      buf_.clear();
      continue;
    }
    if (state_ == State::Inside && b == kCe) {
      state_ = State::Escape;
      continue;
    }
    buf_.append(char(state_ == State::Escape ? b ^ kXor : b));
    state_ = State::Inside;
    if (buf_.size() > kMaxFrame) {
      ++badFrames_;
      buf_.clear();
      state_ = State::Outside;
    }
  }
}

bool ParseBody(const QByteArray& body, Packet* packet) {
  *packet = Packet();
  if (body.size() < 4 || std::uint8_t(body[0]) != kSlot || std::uint8_t(body[1]) != kMessageEmber) return false;
  switch (std::uint8_t(body[2])) {
    case kCommandKeepAliveRequest: packet->kind = Packet::KeepAliveRequest; return true;
    case kCommandKeepAliveResponse: packet->kind = Packet::KeepAliveResponse; return true;
    case kCommandEmber: break;
    default: packet->kind = Packet::Other; return true;
  }
  // version, flags, dtd, app byte count, app bytes
  if (body.size() < 7) return false;
  const int appBytes = std::uint8_t(body[6]);
  if (body.size() < 7 + appBytes) return false;
  packet->kind = Packet::Ember;
  packet->flags = std::uint8_t(body[4]);
  packet->payload = body.mid(7 + appBytes);
  return true;
}

void Decoder::push(const char* bytes, int size, std::vector<Event>* out) {
  std::vector<QByteArray> bodies;
  deframer_.push(bytes, size, &bodies);
  for (const QByteArray& body : bodies) {
    Packet packet;
    if (!ParseBody(body, &packet)) {
      ++droppedPackets_;
      continue;
    }
    onPacket(packet, out);
  }
}

void Decoder::onPacket(const Packet& packet, std::vector<Event>* out) {
  switch (packet.kind) {
    case Packet::KeepAliveRequest: out->push_back({Event::KeepAliveRequest, {}}); return;
    case Packet::KeepAliveResponse: out->push_back({Event::KeepAliveResponse, {}}); return;
    case Packet::Other: ++droppedPackets_; return;
    case Packet::Ember: break;
  }
  const QByteArray payload = (packet.flags & kFlagEmpty) ? QByteArray() : packet.payload;
  const std::uint8_t position = packet.flags & kFlagSingle;
  if (position == kFlagSingle) {
    if (!payload.isEmpty()) out->push_back({Event::Message, payload});
    return;
  }
  if (position == kFlagFirst) {
    if (inMessage_) ++droppedPackets_;
    inMessage_ = true;
    partial_.clear();
  } else if (!inMessage_) {
    ++droppedPackets_;  // a middle or last packet without its first
    return;
  }
  if (partial_.size() + payload.size() > kMaxMessage) {
    ++droppedPackets_;
    inMessage_ = false;
    partial_.clear();
    return;
  }
  partial_.append(payload);
  if (position == kFlagLast) {
    inMessage_ = false;
    if (!partial_.isEmpty()) out->push_back({Event::Message, partial_});
    partial_.clear();
  }
}

}  // namespace ember::s101
