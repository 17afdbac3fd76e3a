#include "Ber.h"

#include <QStringDecoder>

#include <climits>
#include <cmath>

namespace ember::ber {

namespace {

// One TLV at p (n bytes available): its element and its whole size, or false when it is cut,
// malformed, too deep or too large.
bool ParseOne(const char* p, int n, int depth, Element* e, int* total) {
  if (depth > kMaxDepth || n < 2) return false;
  const auto byte = [p](int i) { return std::uint8_t(p[i]); };
  int at = 0;
  const std::uint8_t first = byte(at++);
  e->tag.cls = Class(first & 0xC0);
  e->tag.constructed = (first & 0x20) != 0;
  std::uint32_t number = first & 0x1F;
  if (number == 0x1F) {
    number = 0;
    for (int count = 0;; ++count) {
      if (at >= n || count == 4) return false;  // 28 bits are more than any Glow tag needs
      const std::uint8_t b = byte(at++);
      number = (number << 7) | (b & 0x7F);
      if (!(b & 0x80)) break;
    }
  }
  e->tag.number = number;
  if (at >= n) return false;
  const std::uint8_t lengthByte = byte(at++);
  e->indefinite = false;
  std::int64_t length = 0;
  if (lengthByte < 0x80) {
    length = lengthByte;
  } else if (lengthByte == 0x80) {
    if (!e->tag.constructed) return false;
    e->indefinite = true;
  } else {
    const int count = lengthByte & 0x7F;
    if (count > 4 || at + count > n) return false;
    for (int i = 0; i < count; ++i) length = (length << 8) | byte(at++);
  }
  if (!e->indefinite) {
    if (length > kMaxSize || length > n - at) return false;
    e->contents = p + at;
    e->length = int(length);
    *total = at + int(length);
    return true;
  }
  // Indefinite: the contents run to the end-of-contents marker 00 00 at this level.
  int end = at;
  for (;;) {
    if (end + 2 > n) return false;
    if (byte(end) == 0 && byte(end + 1) == 0) break;
    Element child;
    int size = 0;
    if (!ParseOne(p + end, n - end, depth + 1, &child, &size)) return false;
    end += size;
    if (end - at > kMaxSize) return false;
  }
  e->contents = p + at;
  e->length = end - at;
  *total = end + 2;
  return true;
}

bool IsUniversal(const Element& e, std::uint32_t number) {
  return e.tag.cls == Class::Universal && !e.tag.constructed && e.tag.number == number;
}

QByteArray Base128(std::uint32_t value) {
  QByteArray out;
  out.prepend(char(value & 0x7F));
  value >>= 7;
  while (value) {
    out.prepend(char(0x80 | (value & 0x7F)));
    value >>= 7;
  }
  return out;
}

}  // namespace

QByteArray EncodeTag(Tag tag) {
  const std::uint8_t head = std::uint8_t(tag.cls) | (tag.constructed ? 0x20 : 0);
  if (tag.number < 0x1F) return QByteArray(1, char(head | tag.number));
  return QByteArray(1, char(head | 0x1F)) + Base128(tag.number);
}

QByteArray EncodeLength(int length) {
  if (length < 0x80) return QByteArray(1, char(length));
  QByteArray bytes;
  for (std::uint32_t v = std::uint32_t(length); v; v >>= 8) bytes.prepend(char(v & 0xFF));
  return QByteArray(1, char(0x80 | bytes.size())) + bytes;
}

void Writer::begin(Tag tag) {
  tag.constructed = true;
  out_.append(EncodeTag(tag));
  out_.append(char(0));  // the short form's one byte; end() widens it when needed
  open_.push_back(int(out_.size()));
}

void Writer::end() {
  if (open_.empty()) return;
  const int start = open_.back();
  open_.pop_back();
  const QByteArray length = EncodeLength(int(out_.size()) - start);
  out_[start - 1] = length[0];
  if (length.size() > 1) out_.insert(start, length.constData() + 1, length.size() - 1);
}

void Writer::primitive(Tag tag, const QByteArray& contents) {
  out_.append(EncodeTag(tag));
  out_.append(EncodeLength(int(contents.size())));
  out_.append(contents);
}

void Writer::integer(std::int64_t value, Tag tag) {
  QByteArray bytes;
  // Two's complement, big-endian, no redundant leading 00 or FF byte.
  for (int shift = 56; shift >= 0; shift -= 8) bytes.append(char((std::uint64_t(value) >> shift) & 0xFF));
  int skip = 0;
  while (skip < 7) {
    const std::uint8_t b = std::uint8_t(bytes[skip]), next = std::uint8_t(bytes[skip + 1]);
    if ((b == 0x00 && !(next & 0x80)) || (b == 0xFF && (next & 0x80))) ++skip;
    else break;
  }
  primitive(tag, bytes.mid(skip));
}

void Writer::boolean(bool value) { primitive(Universal(kBoolean), QByteArray(1, value ? char(0xFF) : char(0))); }
void Writer::utf8(const QString& text) { primitive(Universal(kUtf8String), text.toUtf8()); }
void Writer::octets(const QByteArray& bytes) { primitive(Universal(kOctetString), bytes); }

void Writer::relativeOid(const std::vector<int>& ids) {
  QByteArray contents;
  for (int id : ids) contents.append(Base128(std::uint32_t(id < 0 ? 0 : id)));
  primitive(Universal(kRelativeOid), contents);
}

void Writer::contextInteger(std::uint32_t n, std::int64_t value) {
  begin(Context(n));
  integer(value);
  end();
}
void Writer::contextUtf8(std::uint32_t n, const QString& text) {
  begin(Context(n));
  utf8(text);
  end();
}
void Writer::contextBoolean(std::uint32_t n, bool value) {
  begin(Context(n));
  boolean(value);
  end();
}
void Writer::contextRelativeOid(std::uint32_t n, const std::vector<int>& ids) {
  begin(Context(n));
  relativeOid(ids);
  end();
}

Reader::Reader(const char* data, int size, int depth) : data_(data), size_(size < 0 ? 0 : size), depth_(depth) {
  if (depth_ > kMaxDepth || size > kMaxSize) {
    error_ = true;
    size_ = 0;
  }
}

bool Reader::next(Element* e) {
  if (error_ || at_ >= size_) return false;
  int total = 0;
  if (!ParseOne(data_ + at_, size_ - at_, depth_, e, &total)) {
    error_ = true;
    at_ = size_;
    return false;
  }
  at_ += total;
  return true;
}

Reader Reader::open(const Element& e) const {
  if (!e.tag.constructed || depth_ + 1 > kMaxDepth) {
    Reader bad(nullptr, 0, depth_);
    bad.error_ = true;
    return bad;
  }
  return Reader(e.contents, e.length, depth_ + 1);
}

bool Reader::inner(const Element& context, Element* value) const {
  Reader r = open(context);
  return r.next(value);
}

bool ReadInteger(const Element& e, std::int64_t* value) {
  if (!IsUniversal(e, kInteger) || e.length < 1 || e.length > 8) return false;
  std::uint64_t v = (std::uint8_t(e.contents[0]) & 0x80) ? ~std::uint64_t(0) : 0;
  for (int i = 0; i < e.length; ++i) v = (v << 8) | std::uint8_t(e.contents[i]);
  *value = std::int64_t(v);
  return true;
}

bool ReadInt32(const Element& e, int* value) {
  std::int64_t v = 0;
  if (!ReadInteger(e, &v) || v < INT_MIN || v > INT_MAX) return false;
  *value = int(v);
  return true;
}

bool ReadBoolean(const Element& e, bool* value) {
  if (!IsUniversal(e, kBoolean) || e.length != 1) return false;
  *value = e.contents[0] != 0;
  return true;
}

bool ReadUtf8(const Element& e, QString* text) {
  if (!IsUniversal(e, kUtf8String)) return false;
  // Not UTF-8 is an error, not a text with replacement characters in it.
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString decoded = decoder(QByteArrayView(e.contents, e.length));
  if (decoder.hasError()) return false;
  *text = decoded;
  return true;
}

bool ReadOctets(const Element& e, QByteArray* bytes) {
  if (!IsUniversal(e, kOctetString)) return false;
  *bytes = QByteArray(e.contents, e.length);
  return true;
}

bool ReadReal(const Element& e, double* value) {
  if (!IsUniversal(e, kReal)) return false;
  if (e.length == 0) {
    *value = 0;
    return true;
  }
  const auto byte = [&e](int i) { return std::uint8_t(e.contents[i]); };
  const std::uint8_t head = byte(0);
  if (e.length == 1) {
    switch (head) {
      case 0x40: *value = INFINITY; return true;
      case 0x41: *value = -INFINITY; return true;
      case 0x42: *value = NAN; return true;
      case 0x43: *value = -0.0; return true;
      default: return false;
    }
  }
  if (!(head & 0x80)) return false;  // decimal forms: no Ember+ sender uses them
  static const int kBaseBits[] = {1, 3, 4, 0};
  const int baseBits = kBaseBits[(head >> 4) & 3];
  if (!baseBits) return false;
  const int scale = (head >> 2) & 3;
  int at = 1, exponentBytes = (head & 3) + 1;
  if ((head & 3) == 3) {
    exponentBytes = byte(at++);
    if (at >= e.length) return false;
  }
  if (exponentBytes < 1 || exponentBytes > 4 || at + exponentBytes >= e.length + 1) return false;
  std::int64_t exponent = (byte(at) & 0x80) ? -1 : 0;
  for (int i = 0; i < exponentBytes; ++i) exponent = exponent * 256 + byte(at++);
  if (e.length - at > 8) return false;
  std::uint64_t mantissa = 0;
  for (; at < e.length; ++at) mantissa = (mantissa << 8) | byte(at);
  const double v = std::ldexp(double(mantissa), int(std::max<std::int64_t>(-100000, std::min<std::int64_t>(100000, exponent * baseBits))) + scale);
  *value = (head & 0x40) ? -v : v;
  return true;
}

bool ReadRelativeOid(const Element& e, std::vector<int>* ids) {
  if (!IsUniversal(e, kRelativeOid)) return false;
  ids->clear();
  std::uint64_t id = 0;
  bool open = false;
  for (int i = 0; i < e.length; ++i) {
    const std::uint8_t b = std::uint8_t(e.contents[i]);
    id = (id << 7) | (b & 0x7F);
    if (id > std::uint64_t(INT_MAX)) return false;
    open = (b & 0x80) != 0;
    if (!open) {
      ids->push_back(int(id));
      id = 0;
    }
  }
  return !open;
}

}  // namespace ember::ber
