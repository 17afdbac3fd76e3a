// The Glow subset an Ember+ matrix provider speaks, as plain structs, over ember::ber.
// Tag and field numbers from the Glow DTD 2.31 (GlowDtd.asn1, "EmberPlus-Glow DEFINITIONS
// EXPLICIT TAGS": every context field [n] wraps its value):
//   Root                  [APPLICATION 0]  0x60  CHOICE { RootElementCollection, ... }
//   Parameter             [APPLICATION 1]  0x61  { number [0], contents [1], children [2] }
//   Command               [APPLICATION 2]  0x62  { number [0] CommandType, dirFieldMask [1] }
//   Node                  [APPLICATION 3]  0x63  { number [0], contents [1], children [2] }
//   ElementCollection     [APPLICATION 4]  0x64  SEQUENCE OF [0] Element
//   QualifiedParameter    [APPLICATION 9]  0x69  { path [0] RELATIVE-OID, contents [1], children [2] }
//   QualifiedNode         [APPLICATION 10] 0x6A  { path [0], contents [1], children [2] }
//   RootElementCollection [APPLICATION 11] 0x6B  SEQUENCE OF [0] RootElement
//   Matrix                [APPLICATION 13] 0x6D  { number [0], contents [1], children [2],
//                                                  targets [3], sources [4], connections [5] }
//   Target / Source       [APPLICATION 14/15] 0x6E / 0x6F  { number [0] }
//   Connection            [APPLICATION 16] 0x70  { target [0], sources [1] RELATIVE-OID,
//                                                  operation [2], disposition [3] }
//   QualifiedMatrix       [APPLICATION 17] 0x71  { path [0], as Matrix from [1] }
//   Label                 [APPLICATION 18] 0x72  { basePath [0] RELATIVE-OID, description [1] }
//   NodeContents      SET { identifier [0], description [1], isRoot [2], isOnline [3] }
//   ParameterContents SET { identifier [0], description [1], value [2], access [5], type [13], ... }
//   MatrixContents    SET { identifier [0], description [1], type [2], addressingMode [3],
//                           targetCount [4], sourceCount [5], labels [10] SEQUENCE OF [0] Label, ... }
//   Collections (targets, sources, connections) are SEQUENCE OF [0] item.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace ember::glow {

using Path = std::vector<int>;

enum CommandType { kSubscribe = 30, kUnsubscribe = 31, kGetDirectory = 32, kInvoke = 33 };
enum ParameterAccess { kAccessNone = 0, kAccessRead = 1, kAccessWrite = 2, kAccessReadWrite = 3 };
enum ParameterType { kTypeInteger = 1, kTypeReal = 2, kTypeString = 3, kTypeBoolean = 4 };
enum MatrixType { kOneToN = 0, kOneToOne = 1, kNToN = 2 };
enum AddressingMode { kLinear = 0, kNonLinear = 1 };
enum Operation { kAbsolute = 0, kConnect = 1, kDisconnect = 2 };
enum Disposition { kTally = 0, kModified = 1, kPending = 2, kLocked = 3 };

struct Value {
  enum Type { None, Integer, Real, String, Boolean, Octets } type = None;
  std::int64_t integer = 0;
  double real = 0;
  QString string;
  bool boolean = false;
  QByteArray octets;

  static Value fromString(const QString& s) { Value v; v.type = String; v.string = s; return v; }
  static Value fromInteger(std::int64_t i) { Value v; v.type = Integer; v.integer = i; return v; }
};

struct Connection {
  int target = 0;
  std::vector<int> sources;  // empty: none
  int operation = kAbsolute;
  int disposition = kTally;
};

// ---- incoming ----------------------------------------------------------------------------

// One thing a consumer asked, flattened out of however it nested or qualified the path.
struct Request {
  enum Kind { GetDirectory, Subscribe, Unsubscribe, SetValue, Connect } kind = GetDirectory;
  enum Element { Root, Node, Parameter, Matrix } element = Root;  // what the path was sent as
  Path path;                  // empty: the root
  std::optional<int> dirFieldMask;  // GetDirectory only, when sent
  Value value;                // SetValue
  std::vector<Connection> connections;  // Connect: every connection of one matrix element
};

// Decodes one Glow message (a Root). Requests come in the order they were sent. Unknown
// elements, fields and commands (invoke, functions, streams) are skipped. False, with what was
// wrong in *error, when the message is not a well-formed Root; requests read before the fault
// are kept.
bool DecodeRequests(const QByteArray& glow, std::vector<Request>* requests, QString* error = nullptr);

// ---- outgoing ----------------------------------------------------------------------------

struct Label {
  Path basePath;
  QString description;
};

struct NodeContents {
  QString identifier;
  QString description;  // not sent when empty
  std::optional<bool> isOnline;
};

struct ParameterContents {
  QString identifier;
  QString description;  // not sent when empty
  Value value;          // not sent when None
  std::optional<int> access;
  std::optional<int> type;
};

struct MatrixContents {
  QString identifier;
  QString description;  // not sent when empty
  int type = kOneToN;
  int addressingMode = kLinear;
  int targetCount = 0;
  int sourceCount = 0;
  std::vector<Label> labels;  // not sent when empty
};

// An element to send. At the top of a message it goes qualified (its full path) unless
// qualified is false (a child of the root, numbered); as a child of another element it goes
// numbered (the last number of its path).
struct Element {
  enum Type { Node, Parameter, Matrix } type = Node;
  Path path;
  bool qualified = true;
  std::optional<NodeContents> node;            // Node
  std::optional<ParameterContents> parameter;  // Parameter
  std::optional<MatrixContents> matrix;        // Matrix
  // Sent when set, even empty (a consumer waits for a matrix's children collection).
  std::optional<std::vector<Element>> children;
  std::optional<std::vector<Connection>> connections;  // Matrix only; sent when set
};

// A Root with a RootElementCollection holding the elements, qualified; definite lengths.
QByteArray EncodeRoot(const std::vector<Element>& elements);

// Shorthands for the elements a provider sends most.
Element QualifiedNode(const Path& path, const NodeContents& contents);
Element QualifiedParameter(const Path& path, const ParameterContents& contents);
Element QualifiedMatrix(const Path& path, const MatrixContents& contents);
// A matrix holding only connections (a tally or an answer to a connection request).
Element MatrixConnections(const Path& path, const std::vector<Connection>& connections);

}  // namespace ember::glow
