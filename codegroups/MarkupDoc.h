#pragma once
// MarkupDoc: the system's own small XML document class. It keeps the whole document as one
// 8-bit text plus an index of element offsets; nothing is copied into a tree of objects.
// Unlike standard XML libraries it accepts element names made only of digits (`<0 .../>`),
// which the code group files use. No encodings, namespaces or numeric references.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// One entry of the element index: offsets into the document text and links by index.
struct ElementEntry {
    int32_t openBegin = 0;   // '<' of the start tag
    int32_t openEnd = 0;     // '>' of the start tag
    int32_t closeBegin = 0;  // '<' of the end tag; the '/' of "/>" for an empty element
    int32_t closeEnd = 0;    // '>' of the end tag; equal to openEnd for an empty element
    int32_t reserved = 0;
    int32_t parent = 0;      // 0 = the document
    int32_t firstChild = 0;  // 0 = none
    int32_t nextSibling = 0; // 0 = none
};

// Scanner state over the document text.
struct TokenCursor {
    int32_t first = 0;   // first character of the token (inside the quotes when quoted)
    int32_t last = -1;   // last character; first - 1 for an empty quoted string
    int32_t next = 0;    // where the next scan starts
    const std::string* source = nullptr;
    bool quoted = false;
};

// Single-threaded: even the const readers share state (the token memo, lastNameAt).
class MarkupDoc {
public:
    // Deepest element nesting a text may have; deeper texts fail instead of exhausting the stack.
    static constexpr int kMaxDepth = 256;
    // Offsets are signed 32-bit, so no text may grow past this many bytes.
    static constexpr int64_t kMaxTextLength = INT32_MAX - 1;

    MarkupDoc();
    virtual ~MarkupDoc();
    MarkupDoc(const MarkupDoc&) = default;
    MarkupDoc& operator=(const MarkupDoc&) = default;

    // Replaces the text (cut at its first zero byte; null = no text) and rebuilds the index.
    // True when a root element was parsed.
    bool AssignText(const char* t = nullptr);
    bool AssignText(std::string_view t);
    // Reads the whole file and assigns it. False (and an empty document) on any failure.
    bool LoadFile(const std::string& path);
    bool HasRoot() const;

    // Navigation over the index. An empty name matches any element.
    bool FindSibling(std::string_view name = {});
    bool EnterElement();
    std::string AttributeNameAt(int n) const;
    std::string AttributeValue(std::string_view name) const;
    // Tag name of entry i; empty for 0 or an index not in use.
    std::string TagNameOf(int i) const;

    // Editing in place: the text changes and the index is shifted, no re-parse.
    // Names must be non-empty and free of blanks, quotes and the characters <>=\/?! so that
    // the text still parses; other names, a second root, nesting deeper than kMaxDepth, a
    // parent whose start tag ends in "//>" and growth past kMaxTextLength are refused (false,
    // nothing changed). Content and values end
    // at their first zero byte, as they would when the file is read back.
    bool AppendElement(std::string_view name, std::string_view content = {});
    bool WriteAttribute(std::string_view name, std::string_view value);
    bool WriteAttribute(std::string_view name, int32_t value);
    // Writes the text byte for byte. The file is replaced only once the new contents are
    // completely on disk, so a failed save leaves the old file intact; a file with other hard
    // links, or in a folder where no temporary file can be made, is rewritten in place
    // instead, keeping its identity and mode. False on any failure, with errno set.
    bool SaveFile(const std::string& path) const;

    static std::string EncodeText(std::string_view value, bool forAttribute);

    const std::string& Text() const { return text; }
    const std::string& LastError() const { return lastError; }
    // The line (from 1) where the last parse failed; 0 when the last parse did not fail.
    int LastErrorLine() const { return lastErrorLine; }
    const std::vector<ElementEntry>& Entries() const { return entries; }
    int ParentIndex() const { return parentIndex; }
    int CurrentIndex() const { return currentIndex; }
    int ChildIndex() const { return childIndex; }
    int FreeIndex() const { return freeIndex; }
    int NodeKind() const { return nodeKind; }

    // Kinds returned by ParseSpecialNode.
    enum NodeKindBits : int {
        kNoNode = 0,
        kElement = 1,
        kCData = 8,
        kProcessingInstruction = 16,
        kComment = 32,
        kDocType = 64,
    };

private:
    bool AssignOwned(std::string&& t);
    bool ParseText();
    int ParseElement(int p, int depth);
    int ParseSpecialNode(TokenCursor& cursor) const;
    bool NextToken(TokenCursor& cursor) const;
    bool SkipSpace(int32_t& pos) const;
    bool SeekChar(int32_t& pos, char c) const;
    bool SeekTagEnd(int32_t& pos) const;
    bool ScanStartTag(int i, char nameStart, int32_t& pos);
    bool TokenMatches(const TokenCursor& cursor, std::string_view name) const;
    std::string TokenText(const TokenCursor& cursor) const;
    int FindChild(int p, int after, std::string_view name) const;
    bool FindAttribute(TokenCursor& cursor, std::string_view name) const;
    std::string DecodeText(int32_t from, int32_t to) const;
    static int32_t DecodeInto(char* out, const char* src, int32_t length, int32_t ampersand);
    int TakeEntry();
    void GrowEntries();
    int ReturnEntry();
    int Fail(int32_t at, const char* message, std::string_view name = {});
    bool IsEmptyElement(int i) const;
    void LocateInsert(int p, int after, int32_t& offset, int& predecessor) const;
    void ReplaceText(int32_t at, int32_t count, std::string_view insert);
    void ShiftFollowing(int i, int32_t delta);
    TokenCursor CursorAt(int32_t next) const;
    bool TokenMatches(int32_t first, int32_t last, std::string_view name) const;
    // The attribute readers work on the start tag's tokens, remembered once per element, since
    // the loader asks for every value by position (n + 2 FindAttribute scans per value). The
    // results are those of the FindAttribute scans over the text.
    struct TagToken {
        int32_t first;
        int32_t last;
        bool quoted;
    };
    // An unquoted token other than '=' at position 1 or later, before the tag's '>' or '/':
    // what FindAttribute can match a name against, with the value it would then return.
    struct TagCandidate {
        int32_t nameFirst;
        int32_t nameLast;
        int32_t valueFirst;
        int32_t valueLast;
        bool hasValue;
    };
    void RememberTag(int i) const;
    // Attributes of a start tag noted while parsing it, for tags of the plain form
    // name (attr = "value")* [/] > whose attribute lookups need no general token scan: each
    // attribute is then a candidate, every name is found by position, and every value is the
    // quoted token two places on. Other tags, and all tags once the text has been edited, go
    // through RememberTag.
    class ParsedAttribute {
    public:
        ParsedAttribute(int32_t nameFirst, int32_t nameLength, int32_t valueFirst, int32_t valueLast, bool decoded)
            : nameFirst(nameFirst), valueFirst(valueFirst), valueLast(valueLast),
              lengthAndFlag(static_cast<uint32_t>(nameLength) | (decoded ? kDecoded : 0)) {}
        int32_t NameLength() const { return static_cast<int32_t>(lengthAndFlag & ~kDecoded); }
        // The value held an '&' and was decoded into decodedValues; else it reads as it stands.
        bool Decoded() const { return (lengthAndFlag & kDecoded) != 0; }

        int32_t nameFirst;
        int32_t valueFirst;  // into the text, or into decodedValues when Decoded()
        int32_t valueLast;

    private:
        static constexpr uint32_t kDecoded = 0x80000000u;  // lengths stay below INT32_MAX
        uint32_t lengthAndFlag;
    };
    struct ParsedSpan {
        int32_t first = 0;   // into parsedAttributes
        int32_t count = -1;  // -1: the tag was not of the plain form
        // No name matches a later one (TokenMatches), so a lookup by the name at position n
        // finds attribute n.
        bool distinct = false;
    };
    static bool DistinctNames(const ParsedAttribute* a, int32_t count, const char* s);
    // Sets currentNotes after the position moved.
    void NoteCurrent();
    // The readers for tags not noted while parsing, or after an edit.
    std::string ScannedAttributeNameAt(int n) const;
    std::string ScannedAttributeValue(std::string_view name) const;
    // a[0, n) == b[0, n). Names are a few bytes long, so two overlapping word compares beat a
    // library call.
    static bool SameBytes(const char* a, const char* b, size_t n) {
        if (n >= sizeof(uint64_t)) {
            for (size_t k = 0; k + sizeof(uint64_t) < n; k += sizeof(uint64_t)) {
                if (Word<uint64_t>(a + k) != Word<uint64_t>(b + k)) return false;
            }
            const size_t tail = n - sizeof(uint64_t);
            return Word<uint64_t>(a + tail) == Word<uint64_t>(b + tail);
        }
        if (n >= sizeof(uint32_t)) {
            const size_t tail = n - sizeof(uint32_t);
            return Word<uint32_t>(a) == Word<uint32_t>(b) && Word<uint32_t>(a + tail) == Word<uint32_t>(b + tail);
        }
        for (size_t k = 0; k < n; ++k) {
            if (a[k] != b[k]) return false;
        }
        return true;
    }
    template <typename W>
    static W Word(const char* p) {
        W w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }
    // TokenMatches for a token of n >= 1 characters known to lie in the text.
    static bool TokenIsName(const char* token, size_t n, std::string_view name) {
        if (n > name.size() || token[0] != name[0]) return false;
        if (n < name.size()) {
            const char tail = name[n];
            if (tail != ' ' && tail != '=' && tail != '/' && tail != '[') return false;
        }
        return SameBytes(token, name.data(), n);
    }
    static void EncodeInto(std::string& out, std::string_view value, bool forAttribute);

    std::string text;
    std::string lastError;
    int lastErrorLine = 0;
    std::vector<ElementEntry> entries;
    int parentIndex = 0;
    int currentIndex = 0;
    int childIndex = 0;
    int freeIndex = 1;
    int nodeKind = 0;

    mutable std::vector<TagToken> tagTokens;  // up to the '>' or '/' where FindAttribute stops
    mutable std::vector<int32_t> tagNames;    // token found by the n-th chained nameless scan
    mutable std::vector<TagCandidate> tagCandidates;
    mutable int tagTokensOf = 0;              // entry the memo describes; 0 = none
    std::vector<ParsedAttribute> parsedAttributes;
    std::vector<ParsedSpan> parsedSpans;      // by entry index
    std::vector<char> decodedValues;          // noted values that held an '&', decoded
    int32_t decodedUsed = 0;                  // bytes of decodedValues in use
    bool parsedValid = false;                 // false once an edit moved the text under them
    ParsedSpan currentNotes;                  // those of the current element; count -1: none
    mutable int32_t lastNameAt = -1;          // note whose name AttributeNameAt gave last
    // While parsing: the text from where each attribute of the last plain tag with attributes
    // begins (after the tag name or the previous value's closing quote) up to its value's
    // opening quote, and where the name lies in it.
    struct LeadIn {
        int32_t first;
        int32_t length;
        int32_t nameOffset;
        int32_t nameLength;
    };
    std::vector<LeadIn> leadIns;
    std::vector<LeadIn> nextLeadIns;  // those of the tag being scanned
    bool leadInNamesDistinct = false;
    std::string scratch;          // reused for the pieces the edits insert
};

// The code group loader reads every value through these two, so the common case (a tag noted
// while parsing) is inline.
inline std::string MarkupDoc::AttributeNameAt(int n) const {
    if (currentNotes.count < 0) return ScannedAttributeNameAt(n);
    if (n < 0 || n >= currentNotes.count) return {};
    lastNameAt = currentNotes.first + n;
    const ParsedAttribute& a = parsedAttributes[static_cast<size_t>(lastNameAt)];
    return std::string(text.data() + a.nameFirst, static_cast<size_t>(a.NameLength()));
}

inline std::string MarkupDoc::AttributeValue(std::string_view name) const {
    if (currentNotes.count < 0) return ScannedAttributeValue(name);
    if (name.empty()) return {};
    const char* s = text.data();
    const ParsedAttribute* first = parsedAttributes.data() + currentNotes.first;
    const ParsedAttribute* end = first + currentNotes.count;
    const ParsedAttribute* a = first;
    // The loader looks up the name AttributeNameAt just gave; with distinct names that is the one.
    const int32_t named = lastNameAt - currentNotes.first;
    if (currentNotes.distinct && named >= 0 && named < currentNotes.count &&
        static_cast<size_t>(first[named].NameLength()) == name.size() &&
        SameBytes(s + first[named].nameFirst, name.data(), name.size())) {
        a = first + named;
    } else {
        while (a != end && !TokenIsName(s + a->nameFirst, static_cast<size_t>(a->NameLength()), name)) ++a;
        if (a == end) return {};
    }
    const char* value = a->Decoded() ? decodedValues.data() : s;
    return std::string(value + a->valueFirst, static_cast<size_t>(a->valueLast - a->valueFirst + 1));
}
