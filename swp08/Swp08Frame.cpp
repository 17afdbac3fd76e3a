#include "Swp08Frame.h"

namespace swp08 {

namespace {

void Stuffed(QByteArray* out, char byte) {
  out->append(byte);
  if (byte == kDle) out->append(kDle);
}

}  // namespace

QByteArray Frame(const QByteArray& data) {
  const char count = char(data.size());
  quint8 sum = quint8(count);
  for (const char c : data) sum = quint8(sum + quint8(c));
  QByteArray out;
  out.reserve(data.size() * 2 + 8);
  out.append(kDle).append(kStx);
  for (const char c : data) Stuffed(&out, c);
  Stuffed(&out, count);
  Stuffed(&out, char(quint8(-sum)));
  out.append(kDle).append(kEtx);
  return out;
}

QByteArray AckBytes() { return QByteArray{} + kDle + kAck; }
QByteArray NakBytes() { return QByteArray{} + kDle + kNak; }

bool ValidFrameBody(const QByteArray& body) {
  const int n = int(body.size());
  if (n < 3 || quint8(body[n - 2]) != n - 2) return false;
  quint8 sum = 0;
  for (const char c : body) sum = quint8(sum + quint8(c));
  return sum == 0;
}

void Deframer::append(char byte) {
  if (buf_.size() >= kMaxFrameData + 2) {
    // No valid frame is this long: drop it and wait for the next DLE STX.
    buf_.clear();
    state_ = State::Idle;
    return;
  }
  buf_.append(byte);
}

void Deframer::endFrame(std::vector<Event>* out) {
  if (ValidFrameBody(buf_)) out->push_back({Event::Message, buf_.left(buf_.size() - 2)});
  else out->push_back({Event::Bad, buf_});
  buf_.clear();
  state_ = State::Idle;
}

void Deframer::push(const char* bytes, int size, std::vector<Event>* out) {
  for (int i = 0; i < size; ++i) {
    const char b = bytes[i];
    switch (state_) {
      case State::Idle:
        if (b == kDle) state_ = State::IdleDle;
        break;
      case State::IdleDle:
        if (b == kStx) {
          buf_.clear();
          afterPair_ = false;
          state_ = State::Frame;
        } else if (b == kAck || b == kNak) {
          out->push_back({b == kAck ? Event::Ack : Event::Nak, {}});
          state_ = State::Idle;
        } else if (b != kDle) {
          state_ = State::Idle;
        }
        break;
      case State::Frame:
        if (afterPair_ && b == kEtx && ValidFrameBody(buf_)) {
          // `10 10 03` from a sender that did not double its CHK of 0x10.
          endFrame(out);
        } else if (b == kDle) {
          state_ = State::FrameDle;
        } else {
          append(b);
        }
        afterPair_ = false;
        break;
      case State::FrameAckDle:
        if (b == kEtx) {
          QByteArray tail = buf_;
          tail.append(kDle).append(heldAck_);
          if (!ValidFrameBody(buf_) && ValidFrameBody(tail)) {
            // 10 06 / 10 15 were an undoubled BTC of 0x10 and its CHK.
            buf_ = tail;
            endFrame(out);
            break;
          }
        }
        out->push_back({heldAck_ == kAck ? Event::Ack : Event::Nak, {}});
        state_ = State::FrameDle;
        [[fallthrough]];
      case State::FrameDle:
        if (b == kDle) {
          state_ = State::Frame;
          append(kDle);
          afterPair_ = state_ == State::Frame;
        } else if (b == kEtx) {
          endFrame(out);
        } else if (b == kStx) {
          buf_.clear();  // a new frame drops the partial one
          state_ = State::Frame;
        } else if (b == kAck || b == kNak) {
          heldAck_ = b;  // told once the next bytes show it is not the frame's BTC and CHK
          state_ = State::FrameAck;
        } else {
          // An undoubled 0x10 (a BTC of 16 from a lenient sender): take it literally.
          state_ = State::Frame;
          append(kDle);
          if (state_ == State::Frame) append(b);
        }
        break;
      case State::FrameAck:
        if (b == kDle) {
          state_ = State::FrameAckDle;
          break;
        }
        out->push_back({heldAck_ == kAck ? Event::Ack : Event::Nak, {}});
        state_ = State::Frame;
        append(b);
        break;
    }
  }
}

}  // namespace swp08
