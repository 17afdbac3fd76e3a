// The subset of BER that Glow uses: a writer with definite lengths only, and a reader that also
// accepts indefinite lengths, is bounded in depth and size, and reports garbage or truncation as
// an error instead of reading past its input.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace ember::ber {

enum class Class : std::uint8_t { Universal = 0x00, Application = 0x40, Context = 0x80, Private = 0xC0 };

struct Tag {
  Class cls = Class::Universal;
  bool constructed = false;
  std::uint32_t number = 0;
};

// Universal type numbers.
constexpr std::uint32_t kBoolean = 1, kInteger = 2, kOctetString = 4, kReal = 9, kUtf8String = 12,
                        kRelativeOid = 13, kSequence = 16, kSet = 17;

inline Tag Universal(std::uint32_t n, bool constructed = false) { return {Class::Universal, constructed, n}; }
inline Tag Sequence() { return Universal(kSequence, true); }
inline Tag Set() { return Universal(kSet, true); }
inline Tag Context(std::uint32_t n) { return {Class::Context, true, n}; }          // explicit [n]
inline Tag Application(std::uint32_t n) { return {Class::Application, true, n}; }  // constructed

class Writer {
 public:
  void begin(Tag tag);  // a constructed value; its length is filled in by end()
  void end();
  void integer(std::int64_t value, Tag tag = Universal(kInteger));
  void boolean(bool value);
  void utf8(const QString& text);
  void octets(const QByteArray& bytes);
  void relativeOid(const std::vector<int>& ids);  // negative ids are written as 0
  // Shorthands for the Glow fields: [n] { value }.
  void contextInteger(std::uint32_t n, std::int64_t value);
  void contextUtf8(std::uint32_t n, const QString& text);
  void contextBoolean(std::uint32_t n, bool value);
  void contextRelativeOid(std::uint32_t n, const std::vector<int>& ids);

  const QByteArray& bytes() const { return out_; }  // complete once every begin() has its end()
  int openCount() const { return int(open_.size()); }

 private:
  void primitive(Tag tag, const QByteArray& contents);
  QByteArray out_;
  std::vector<int> open_;  // where each open value's contents start (one length byte reserved)
};

QByteArray EncodeTag(Tag tag);
QByteArray EncodeLength(int length);

constexpr int kMaxDepth = 32;
constexpr int kMaxSize = 16 * 1024 * 1024;

// One TLV read; contents point into the reader's buffer.
struct Element {
  Tag tag;
  const char* contents = nullptr;
  int length = 0;            // of the contents, without an end-of-contents marker
  bool indefinite = false;
};

// Reads the TLVs at one level. next() returns false at the end of the level or on an error;
// error() tells the two apart. A reader never reads outside [data, data + size).
class Reader {
 public:
  Reader(const char* data, int size, int depth = 0);
  explicit Reader(const QByteArray& data) : Reader(data.constData(), int(data.size())) {}
  bool next(Element* e);
  bool error() const { return error_; }
  // A reader over a constructed element's contents, one level deeper; an error reader (empty,
  // error() true) past kMaxDepth or for a primitive element.
  Reader open(const Element& e) const;
  // The one value inside an explicit context tag [n] (anything after it is ignored).
  bool inner(const Element& context, Element* value) const;

 private:
  const char* data_;
  int size_;
  int at_ = 0;
  int depth_;
  bool error_ = false;
};

// Value decoders; false on a wrong tag class/type, a bad length or an out-of-range value.
bool ReadInteger(const Element& e, std::int64_t* value);  // 1..8 content bytes, two's complement
bool ReadInt32(const Element& e, int* value);
bool ReadBoolean(const Element& e, bool* value);
bool ReadUtf8(const Element& e, QString* text);
bool ReadOctets(const Element& e, QByteArray* bytes);
bool ReadReal(const Element& e, double* value);  // binary form, infinities, NaN, -0; decimal forms refused
bool ReadRelativeOid(const Element& e, std::vector<int>* ids);  // each id in 0..INT_MAX

}  // namespace ember::ber
