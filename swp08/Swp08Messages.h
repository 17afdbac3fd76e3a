// SW-P-08 messages: the requests a control system sends, and the answers and broadcasts the
// bridge sends back. DATA only (command byte + message); Swp08Frame.h frames it.
//
// Where each layout comes from:
//   [4b]  "SW-P-88 Issue 4b, Router Control Protocols" (docs/sw-p-88-4b.pdf of the public
//         probel-swp-08 client): 7.2 framing; 8.1.1-8.1.3 and 8.2.1-8.2.4 the general messages;
//         10.1-10.3 the worked examples (the golden frames); 11.5 dual controllers over IP.
//   [I32] "SW-P-08 Issue 32, General Remote Control Protocol" (public copy in the repository
//         peterallanwalker/SWP08-Probel, "protocol docs/"): the protect, names, dual status,
//         extended and implementation messages, section numbers below.
//   [cmp] the Stream Deck control software's SW-P-08 module (src/consts.ts: every command
//         number; src/index.ts: what it sends and how it reads the answers).
//   [npm] the probel-swp-08 client (index.js): what it sends and how it reads the answers.
//
// General messages: byte 1 is matrix (bits 4-7) and level (bits 0-3); the multiplier byte holds
// destination DIV 128 in bits 4-6, bit 3 "bad source", source (or protect device) DIV 128 in
// bits 0-2, then destination MOD 128 and source MOD 128 [4b 8.1.1]. Extended messages
// (command + 0x80) carry a matrix byte, a level byte and DIV 256 / MOD 256 pairs [I32 3.3-3.5].
//
//   in   0x01 interrogate        ML MULT DST                      [4b 8.1.1]
//   in   0x02 connect            ML MULT DST SRC                  [4b 8.1.2]
//   out  0x03 tally / 0x04 connected  ML MULT DST SRC             [4b 8.2.1, 8.2.2]
//   in   0x81 / 0x82             M L DD DM [SD SM]                [I32 3.4.1, 3.4.2]
//   out  0x83 / 0x84             M L DD DM SD SM STATUS           [I32 3.5.1, 3.5.2] (STATUS is
//        "for future use": 0, or 0x08 for a bad source, the general bad-source bit's value)
//   in   0x15 tally dump request ML                               [4b 8.1.3]
//   in   0x95 extended           M L                              [I32 3.4.7]
//   out  0x16 byte dump          ML N DST SRC1..SRCn              [4b 8.2.3] (numbers < 192)
//   out  0x17 word dump          ML N DD DM (SD SM)*n             [4b 8.2.4] (n <= 64)
//   out  0x97 extended word dump M L N DD DM (SD SM)*n            [I32 3.5.7]
//   in   0x61 implementation request (no message)                 [4b 10.1]
//   out  0x62 implementation     m n OUT1..OUTm IN1..INn          [I32 4.2.2; 4b 10.1 example]
//   in   0x64 all source names   ML LEN                           [I32 3.1.18; cmp index.ts]
//        (the npm client's general form is LEN alone: taken as matrix 0, level 0)
//   in   0x66 all dest names     ML(level unused) LEN             [I32 3.1.20]
//   in   0xE4 / 0xE6 extended    M L LEN / M LEN                  [I32 3.4.10, 3.4.12; npm]
//   out  0x6A source names       ML LEN FD FM N names             [I32 3.2.19; cmp; npm]
//   out  0x6B dest names         ML LEN FD FM N names             [I32 3.2.20; cmp; npm]
//   out  0xEA extended source    M L LEN FD FM N names            [I32 3.5.10; cmp; npm]
//   out  0xEB extended dest      M LEN FD FM N names              [I32 3.5.11; cmp; npm]
//        LEN: 0 = 4, 1 = 8, 2 = 12, 3 = 16, 4 = 32 characters [I32 3.1.18]; names padded with
//        spaces. The document allows up to 32 names a message; one client misreads 16 or more
//        and 128 DATA bytes is the size every system takes [4b 7.2.1], so: at most 15 names and
//        128 bytes.
//   in   0x08 dual controller status request (no message)         [I32 3.1.5; 4b 11.5]
//   out  0x09 dual status        FLAGS IDLE                       [I32 3.2.4] FLAGS bit 1 =
//        active, bit 0 = the slave card is active; IDLE 1 = idle controller missing (there is none)
//   in   0x0A protect interrogate   ML MULT DST                   [I32 3.1.6] (MULT bits 0-2:
//        device DIV 128, the only part of a device number it carries)
//   in   0x0C protect connect / 0x0E protect disconnect  ML MULT DST DEV   [I32 3.1.7, 3.1.8]
//   in   0x8A extended protect interrogate  M L DD DM             [I32 3.4.3]
//   in   0x8C / 0x8E extended protect connect / disconnect  M L DD DM VD VM  [I32 3.4.4, 3.4.5]
//   out  0x0B protect tally / 0x0D connected / 0x0F disconnected  ML STATE MULT DST DEV
//                                                                 [I32 3.2.5-3.2.7]
//   out  0x8B / 0x8D / 0x8F extended  M L STATE DD DM VD VM       [I32 3.5.3-3.5.5]
//   in   0x13 protect tally dump request  ML DD DM (first destination)  [I32 3.1.10]
//   in   0x93 extended               M L DD DM                    [I32 3.4.6]
//   out  0x14 protect tally dump     ML N DD DM (word)*n          [I32 3.2.9]
//   out  0x94 extended               M L N DD DM (word)*n         [I32 3.5.6]
//        word: bits 12-14 protect state, bits 0-9 device number; n <= 64
//   in   0x11 protect device name request  MULT DEV               [I32 3.1.9] (MULT bits 0-2:
//        device DIV 128). The document has no extended form of it or of its answer.
//   out  0x12 protect device name response MULT DEV NAME(8 chars) [I32 3.2.8]
//   STATE (protect details) [I32 3.2.5]: 0 not protected; 1 protected by the controller's own
//   side (here: a panel, the gateway, the web page, MQTT); 2 protected and not alterable
//   remotely; 3 OEM protected (here: by an SW-P-08 client, whose device number goes with it).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace swp08 {

namespace cmd {
constexpr quint8 kInterrogate = 0x01, kConnect = 0x02, kTally = 0x03, kConnected = 0x04;
constexpr quint8 kDualStatusRequest = 0x08, kDualStatus = 0x09;
constexpr quint8 kProtectInterrogate = 0x0A, kProtectTally = 0x0B, kProtectConnect = 0x0C,
                 kProtectConnected = 0x0D, kProtectDisconnect = 0x0E, kProtectDisconnected = 0x0F;
constexpr quint8 kProtectNameRequest = 0x11, kProtectName = 0x12;
constexpr quint8 kProtectDumpRequest = 0x13, kProtectDump = 0x14;
constexpr quint8 kTallyDumpRequest = 0x15, kTallyDumpByte = 0x16, kTallyDumpWord = 0x17;
constexpr quint8 kImplementationRequest = 0x61, kImplementation = 0x62;
constexpr quint8 kSourceNamesRequest = 0x64, kDestinationNamesRequest = 0x66;
constexpr quint8 kSourceNames = 0x6A, kDestinationNames = 0x6B;
constexpr quint8 kExtended = 0x80;  // added to a general command number
constexpr quint8 kExtendedTallyDumpWord = 0x97;
constexpr quint8 kExtendedSourceNamesRequest = 0xE4, kExtendedDestinationNamesRequest = 0xE6;
constexpr quint8 kExtendedSourceNames = 0xEA, kExtendedDestinationNames = 0xEB;
}  // namespace cmd

// The source a dump or an extended tally sends for "unknown": the document defines no such
// value for dumps, so it is 1023, the highest number a general message can address (bits 0-2
// of the multiplier all set, MOD 127), which no matrix this bridge drives reaches.
constexpr int kNoSource = 1023;

constexpr int kMaxTalliesPerMessage = 64;
constexpr int kMaxNamesPerMessage = 15;
constexpr int kMaxNamesData = 128;

enum class Kind { Interrogate, Connect, TallyDump, Implementation, SourceNames, DestinationNames,
                  DualStatus, ProtectInterrogate, ProtectConnect, ProtectDisconnect,
                  ProtectTallyDump, ProtectDeviceName, Other };

struct Request {
  Kind kind = Kind::Other;
  quint8 command = 0;      // the command byte as received
  bool extended = false;   // command >= 0x80
  int matrix = 0, level = 0;
  int destination = 0, source = 0;   // zero-based, as on the wire (DIV/MOD decoded)
  int nameLength = 0;      // names: the length code 0..4 as received
  int device = 0;          // protects: the device (owner) number the message carries
  int first = 0;           // tally dump / protect dump: first destination where the message has one
};

// False for a message too short for its command (the caller ACKed it already and logs it).
// Unknown commands parse as Kind::Other with only command set.
bool Parse(const QByteArray& data, Request* out);
int NameChars(int lengthCode);   // 0->4, 1->8, 2->12, 3->16, 4->32; -1 otherwise

// Builders return DATA (unframed; the caller calls Frame()). extended chooses 0x8x/0xEx forms.
// Numbers out of a field's range are masked to it (the caller keeps them in range).

// 0x03/0x83. A source < 0 is sent as kNoSource with the bad-source flag.
QByteArray Tally(bool extended, int matrix, int level, int destination, int source, bool badSource);
QByteArray Connected(bool extended, int matrix, int level, int destination, int source);  // 0x04/0x84
// Every destination 0..sources.size()-1 of one level; sources[i] < 0 = unknown, sent as
// kNoSource (dumps have no bad-source bit). Byte dump 0x16 when every number (destinations and
// sources) is under 192, else word dump 0x17; extended 0x97; at most 64 tallies a message.
// An empty table still gives one message (with no tallies), so a waiting client hears an answer.
std::vector<QByteArray> TallyDump(bool extended, int matrix, int level, const std::vector<int>& sources);
// 0x62: the commands it sends, the commands it receives, as in the document's example.
QByteArray Implementation(const std::vector<quint8>& sends, const std::vector<quint8>& receives);
// 0x6A source names / 0x6B destination names (0xEA/0xEB extended): names[0] is number 0; each
// padded with spaces or cut to NameChars(lengthCode) (Latin-1; characters outside it as '?');
// at most 15 names a message and at most 128 DATA bytes a message. An empty list gives one
// message with no names; an unknown length code gives nothing.
std::vector<QByteArray> SourceNames(bool extended, int matrix, int level, int lengthCode, const QStringList& names);
std::vector<QByteArray> DestinationNames(bool extended, int matrix, int level, int lengthCode, const QStringList& names);
QByteArray DualStatus();  // 0x09: this controller active

// Protect details [I32 3.2.5].
enum class ProtectState : quint8 {
  NotProtected = 0,
  Protected = 1,          // by the controller's side: a panel, the gateway, the web page, MQTT
  ProtectedOverride = 2,  // cannot be altered remotely
  ProtectedOem = 3,       // by a remote device: an SW-P-08 client, with its device number
};
struct Protect {
  ProtectState state = ProtectState::NotProtected;
  int device = 0;  // the owner's device number (0-1023)
};

// 0x0B/0x8B, 0x0D/0x8D, 0x0F/0x8F for one destination with its state and owner device.
QByteArray ProtectTally(bool extended, int matrix, int level, int destination, Protect protect);
QByteArray ProtectConnected(bool extended, int matrix, int level, int destination, Protect protect);
QByteArray ProtectDisconnected(bool extended, int matrix, int level, int destination, Protect protect);
// 0x14/0x94: protects[i] is destination first + i; at most 64 a message. An empty table still
// gives one message with none.
std::vector<QByteArray> ProtectDump(bool extended, int matrix, int level, int first,
                                    const std::vector<Protect>& protects);
// 0x12: the name of a device (8 characters, padded or cut as names are).
QByteArray ProtectDeviceName(int device, const QString& name);

}  // namespace swp08
