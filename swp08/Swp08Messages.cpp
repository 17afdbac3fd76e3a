#include "Swp08Messages.h"

namespace swp08 {

namespace {

char MatrixLevel(int matrix, int level) { return char(((matrix & 0x0F) << 4) | (level & 0x0F)); }

// Destination DIV 128 in bits 4-6, bad source in bit 3, source (or device) DIV 128 in bits 0-2.
char Multiplier(int destination, int low, bool bad = false) {
  return char((((destination >> 7) & 0x07) << 4) | (bad ? 0x08 : 0) | ((low >> 7) & 0x07));
}

void Word(QByteArray* out, int value) {
  out->append(char((value >> 8) & 0xFF));
  out->append(char(value & 0xFF));
}

int At(const QByteArray& data, int i) { return quint8(data[i]); }

// Destination from a general multiplier and its MOD 128 byte.
int GeneralDestination(const QByteArray& d, int multiplierAt) {
  return ((At(d, multiplierAt) >> 4) & 0x07) * 128 + At(d, multiplierAt + 1);
}

int Pair(const QByteArray& d, int at) { return At(d, at) * 256 + At(d, at + 1); }

// Name bytes: Latin-1 where it can be, '?' where not, padded with spaces or cut to `chars`.
QByteArray NameBytes(const QString& name, int chars) {
  QByteArray out;
  out.reserve(chars);
  for (const char32_t c : name.toUcs4()) {
    if (out.size() == chars) break;
    out.append(c < 0x100 ? char(c) : '?');
  }
  while (out.size() < chars) out.append(' ');
  return out;
}

QByteArray Crosspoint(quint8 command, bool extended, int matrix, int level, int destination, int source,
                      bool bad) {
  QByteArray d;
  if (extended) {
    d.append(char(command | cmd::kExtended)).append(char(matrix & 0xFF)).append(char(level & 0xFF));
    Word(&d, destination);
    Word(&d, source);
    d.append(char(bad ? 0x08 : 0x00));
  } else {
    d.append(char(command)).append(MatrixLevel(matrix, level)).append(Multiplier(destination, source, bad));
    d.append(char(destination & 0x7F)).append(char(source & 0x7F));
  }
  return d;
}

QByteArray ProtectMessage(quint8 command, bool extended, int matrix, int level, int destination, Protect p) {
  QByteArray d;
  if (extended) {
    d.append(char(command | cmd::kExtended)).append(char(matrix & 0xFF)).append(char(level & 0xFF));
    d.append(char(p.state));
    Word(&d, destination);
    Word(&d, p.device);
  } else {
    d.append(char(command)).append(MatrixLevel(matrix, level)).append(char(p.state));
    d.append(Multiplier(destination, p.device)).append(char(destination & 0x7F)).append(char(p.device & 0x7F));
  }
  return d;
}

std::vector<QByteArray> Names(quint8 command, bool extended, bool withLevel, int matrix, int level, int lengthCode,
                              const QStringList& names) {
  std::vector<QByteArray> out;
  const int chars = NameChars(lengthCode);
  if (chars < 0) return out;
  QByteArray head;
  if (extended) {
    head.append(char(command | 0x80)).append(char(matrix & 0xFF));
    if (withLevel) head.append(char(level & 0xFF));
  } else {
    head.append(char(command)).append(MatrixLevel(matrix, withLevel ? level : 0));
  }
  head.append(char(lengthCode));
  const int headSize = int(head.size()) + 3;  // + first number (2) + count (1)
  const int perMessage = std::min<int>(kMaxNamesPerMessage, (kMaxNamesData - headSize) / chars);
  int first = 0;
  do {
    const int count = std::min<int>(perMessage, int(names.size()) - first);
    QByteArray d = head;
    Word(&d, first);
    d.append(char(count));
    for (int i = 0; i < count; ++i) d.append(NameBytes(names[first + i], chars));
    out.push_back(d);
    first += count;
  } while (first < names.size());
  return out;
}

}  // namespace

int NameChars(int lengthCode) {
  static constexpr int kChars[] = {4, 8, 12, 16, 32};
  return lengthCode >= 0 && lengthCode < 5 ? kChars[lengthCode] : -1;
}

bool Parse(const QByteArray& d, Request* out) {
  *out = Request{};
  if (d.isEmpty()) return false;
  const quint8 c = quint8(d[0]);
  out->command = c;
  out->extended = c >= cmd::kExtended;
  const int n = int(d.size());
  auto general = [&](Kind kind, int size) {
    if (n < size) return false;
    out->kind = kind;
    out->matrix = At(d, 1) >> 4;
    out->level = At(d, 1) & 0x0F;
    return true;
  };
  auto extendedHead = [&](Kind kind, int size) {
    if (n < size) return false;
    out->kind = kind;
    out->matrix = At(d, 1);
    out->level = At(d, 2);
    return true;
  };
  switch (c) {
    case cmd::kInterrogate:
      if (!general(Kind::Interrogate, 4)) return false;
      out->destination = GeneralDestination(d, 2);
      return true;
    case cmd::kConnect:
      if (!general(Kind::Connect, 5)) return false;
      out->destination = GeneralDestination(d, 2);
      out->source = (At(d, 2) & 0x07) * 128 + At(d, 4);
      return true;
    case cmd::kInterrogate | cmd::kExtended:
      if (!extendedHead(Kind::Interrogate, 5)) return false;
      out->destination = Pair(d, 3);
      return true;
    case cmd::kConnect | cmd::kExtended:
      if (!extendedHead(Kind::Connect, 7)) return false;
      out->destination = Pair(d, 3);
      out->source = Pair(d, 5);
      return true;
    case cmd::kTallyDumpRequest:
      return general(Kind::TallyDump, 2);
    case cmd::kTallyDumpRequest | cmd::kExtended:
      return extendedHead(Kind::TallyDump, 3);
    case cmd::kImplementationRequest:
      out->kind = Kind::Implementation;
      return true;
    case cmd::kDualStatusRequest:
      out->kind = Kind::DualStatus;
      return true;
    case cmd::kSourceNamesRequest:
    case cmd::kDestinationNamesRequest: {
      const Kind kind = c == cmd::kSourceNamesRequest ? Kind::SourceNames : Kind::DestinationNames;
      if (n == 2) {  // the length code alone (the npm client's general form)
        out->kind = kind;
        out->nameLength = At(d, 1);
        return true;
      }
      if (!general(kind, 3)) return false;
      if (kind == Kind::DestinationNames) out->level = 0;  // bits 0-3 unused there
      out->nameLength = At(d, 2);
      return true;
    }
    case cmd::kExtendedSourceNamesRequest:
      if (!extendedHead(Kind::SourceNames, 4)) return false;
      out->nameLength = At(d, 3);
      return true;
    case cmd::kExtendedDestinationNamesRequest:
      if (n < 3) return false;
      out->kind = Kind::DestinationNames;
      out->matrix = At(d, 1);
      out->nameLength = At(d, 2);
      return true;
    case cmd::kProtectInterrogate:
      if (!general(Kind::ProtectInterrogate, 4)) return false;
      out->destination = GeneralDestination(d, 2);
      out->device = (At(d, 2) & 0x07) * 128;
      return true;
    case cmd::kProtectConnect:
    case cmd::kProtectDisconnect:
      if (!general(c == cmd::kProtectConnect ? Kind::ProtectConnect : Kind::ProtectDisconnect, 5)) return false;
      out->destination = GeneralDestination(d, 2);
      out->device = (At(d, 2) & 0x07) * 128 + At(d, 4);
      return true;
    case cmd::kProtectInterrogate | cmd::kExtended:
      if (!extendedHead(Kind::ProtectInterrogate, 5)) return false;
      out->destination = Pair(d, 3);
      return true;
    case cmd::kProtectConnect | cmd::kExtended:
    case cmd::kProtectDisconnect | cmd::kExtended:
      if (!extendedHead(c == (cmd::kProtectConnect | cmd::kExtended) ? Kind::ProtectConnect : Kind::ProtectDisconnect,
                        7))
        return false;
      out->destination = Pair(d, 3);
      out->device = Pair(d, 5);
      return true;
    case cmd::kProtectDumpRequest:
      // The first destination is taken as 0 when a client leaves it out.
      if (!general(Kind::ProtectTallyDump, 2)) return false;
      if (n >= 4) out->first = Pair(d, 2);
      return true;
    case cmd::kProtectDumpRequest | cmd::kExtended:
      if (!extendedHead(Kind::ProtectTallyDump, 3)) return false;
      if (n >= 5) out->first = Pair(d, 3);
      return true;
    case cmd::kProtectNameRequest:
      if (n < 3) return false;
      out->kind = Kind::ProtectDeviceName;
      out->device = (At(d, 1) & 0x07) * 128 + At(d, 2);
      return true;
    default:
      return true;
  }
}

QByteArray Tally(bool extended, int matrix, int level, int destination, int source, bool badSource) {
  if (source < 0) {
    source = kNoSource;
    badSource = true;
  }
  return Crosspoint(cmd::kTally, extended, matrix, level, destination, source, badSource);
}

QByteArray Connected(bool extended, int matrix, int level, int destination, int source) {
  return Crosspoint(cmd::kConnected, extended, matrix, level, destination, source, false);
}

std::vector<QByteArray> TallyDump(bool extended, int matrix, int level, const std::vector<int>& sources) {
  const int n = int(sources.size());
  bool small = n <= 192;
  for (const int s : sources) small = small && s >= 0 && s < 192;
  const bool byteDump = !extended && small;
  std::vector<QByteArray> out;
  int first = 0;
  do {
    const int count = std::min(kMaxTalliesPerMessage, n - first);
    QByteArray d;
    if (extended) {
      d.append(char(cmd::kExtendedTallyDumpWord)).append(char(matrix & 0xFF)).append(char(level & 0xFF));
    } else {
      d.append(char(byteDump ? cmd::kTallyDumpByte : cmd::kTallyDumpWord)).append(MatrixLevel(matrix, level));
    }
    d.append(char(count));
    if (byteDump) d.append(char(first));
    else Word(&d, first);
    for (int i = first; i < first + count; ++i) {
      const int s = sources[i] < 0 ? kNoSource : sources[i];
      if (byteDump) d.append(char(s));
      else Word(&d, s);
    }
    out.push_back(d);
    first += count;
  } while (first < n);
  return out;
}

QByteArray Implementation(const std::vector<quint8>& sends, const std::vector<quint8>& receives) {
  QByteArray d;
  d.append(char(cmd::kImplementation)).append(char(sends.size())).append(char(receives.size()));
  for (const quint8 c : sends) d.append(char(c));
  for (const quint8 c : receives) d.append(char(c));
  return d;
}

std::vector<QByteArray> SourceNames(bool extended, int matrix, int level, int lengthCode, const QStringList& names) {
  return Names(cmd::kSourceNames, extended, true, matrix, level, lengthCode, names);
}

std::vector<QByteArray> DestinationNames(bool extended, int matrix, int level, int lengthCode,
                                         const QStringList& names) {
  return Names(cmd::kDestinationNames, extended, false, matrix, level, lengthCode, names);
}

QByteArray DualStatus() {
  QByteArray d;
  d.append(char(cmd::kDualStatus)).append(char(0x02)).append(char(0x01));
  return d;
}

QByteArray ProtectTally(bool extended, int matrix, int level, int destination, Protect protect) {
  return ProtectMessage(cmd::kProtectTally, extended, matrix, level, destination, protect);
}

QByteArray ProtectConnected(bool extended, int matrix, int level, int destination, Protect protect) {
  return ProtectMessage(cmd::kProtectConnected, extended, matrix, level, destination, protect);
}

QByteArray ProtectDisconnected(bool extended, int matrix, int level, int destination, Protect protect) {
  return ProtectMessage(cmd::kProtectDisconnected, extended, matrix, level, destination, protect);
}

std::vector<QByteArray> ProtectDump(bool extended, int matrix, int level, int first,
                                    const std::vector<Protect>& protects) {
  const int n = int(protects.size());
  std::vector<QByteArray> out;
  int at = 0;
  do {
    const int count = std::min(kMaxTalliesPerMessage, n - at);
    QByteArray d;
    if (extended) {
      d.append(char(cmd::kProtectDump | cmd::kExtended)).append(char(matrix & 0xFF)).append(char(level & 0xFF));
    } else {
      d.append(char(cmd::kProtectDump)).append(MatrixLevel(matrix, level));
    }
    d.append(char(count));
    Word(&d, first + at);
    for (int i = at; i < at + count; ++i)
      Word(&d, ((int(protects[i].state) & 0x07) << 12) | (protects[i].device & 0x3FF));
    out.push_back(d);
    at += count;
  } while (at < n);
  return out;
}

QByteArray ProtectDeviceName(int device, const QString& name) {
  QByteArray d;
  d.append(char(cmd::kProtectName)).append(char((device >> 7) & 0x07)).append(char(device & 0x7F));
  d.append(NameBytes(name, 8));
  return d;
}

}  // namespace swp08
