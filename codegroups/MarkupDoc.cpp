#include "MarkupDoc.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\r";
constexpr std::string_view kDelimiters = " \t\n\r<>=\\/?!";
constexpr std::string_view kNameTails = " =/[";

constexpr std::string_view kTagOpen = "<";
constexpr std::string_view kEmptyTagClose = "/>\r\n";
constexpr std::string_view kTagClose = ">";
constexpr std::string_view kEndTagOpen = "</";
constexpr std::string_view kEndTagClose = ">\r\n";
constexpr std::string_view kAttrSeparator = " ";
constexpr std::string_view kAttrAssign = "=\"";
constexpr std::string_view kAttrQuote = "\"";

constexpr std::string_view kAttributeSpecials = "<&>'\"";
constexpr std::string_view kContentSpecials = "<&>";

struct Entity {
    char c;
    std::string_view code;  // without the leading '&'
};
// Table order decides which code DecodeText tries first.
constexpr std::array<Entity, 5> kEntities{{
    {'<', "lt;"},
    {'&', "amp;"},
    {'>', "gt;"},
    {'\'', "apos;"},
    {'"', "quot;"},
}};

// The entity whose code may follow an '&' at p, by its first byte (amp and apos share theirs and
// differ in the second; p[1] is readable whenever p[0] is a letter of the text). -1: none.
inline int EntityCandidate(const char* p) {
    static_assert(kEntities[0].code[0] == 'l' && kEntities[1].code.substr(0, 2) == "am" &&
                  kEntities[2].code[0] == 'g' && kEntities[3].code.substr(0, 2) == "ap" &&
                  kEntities[4].code[0] == 'q');
    switch (p[0]) {
    case 'l': return 0;
    case 'a': return p[1] == 'm' ? 1 : 3;
    case 'g': return 2;
    case 'q': return 4;
    default: return -1;
    }
}

// Attribute notes reserved per this many characters of text (` User="Op12"` is 12).
constexpr size_t kCharsPerAttribute = 16;

// Tags with more attributes than this are not checked for distinct names.
constexpr int32_t kMaxDistinctCheck = 16;

// Values up to this many bytes are decoded on the stack.
constexpr int32_t kDecodeBufferSize = 256;

// Room the encoder reserves beyond the input: a tenth of its length.
constexpr size_t kEncodeReserveDivisor = 10;

// The index starts at one entry per this many characters of text, plus kMinEntries.
constexpr int32_t kCharsPerEntry = 64;
constexpr int32_t kMinEntries = 8;

// Bytes read or written per system call in the file loops.
constexpr size_t kIoChunk = size_t{1} << 30;

struct CharTable {
    bool delimiter[256] = {};
    bool space[256] = {};
    bool nameBad[256] = {};
    bool attributeSpecial[256] = {};
    bool contentSpecial[256] = {};
    bool tokenChar[256] = {};
    constexpr CharTable() {
        for (int c = 1; c < 256; ++c) tokenChar[c] = true;
        for (char c : kDelimiters) tokenChar[static_cast<unsigned char>(c)] = false;
        for (char c : kAttributeSpecials) attributeSpecial[static_cast<unsigned char>(c)] = true;
        for (char c : kContentSpecials) contentSpecial[static_cast<unsigned char>(c)] = true;
        for (char c : kDelimiters) delimiter[static_cast<unsigned char>(c)] = true;
        for (char c : kWhiteSpace) space[static_cast<unsigned char>(c)] = true;
        for (char c : kDelimiters) nameBad[static_cast<unsigned char>(c)] = true;
        nameBad[static_cast<unsigned char>('"')] = true;
        nameBad[static_cast<unsigned char>('\'')] = true;
        nameBad[0] = true;
    }
};
constexpr CharTable kChars;

inline bool IsDelimiter(char c) { return kChars.delimiter[static_cast<unsigned char>(c)]; }
inline bool IsSpace(char c) { return kChars.space[static_cast<unsigned char>(c)]; }
// Neither a delimiter nor the zero that ends the text.
inline bool IsTokenChar(char c) { return kChars.tokenChar[static_cast<unsigned char>(c)]; }

// A name the editing operations may write: one that reads back as the same single token.
bool IsWritableName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (kChars.nameBad[static_cast<unsigned char>(c)]) return false;
    }
    return true;
}

// Offset of the first a or b in s[from, size), or size. Attribute values are short, and a library
// call (memchr) costs more than the whole scan for them.
inline int32_t FindEither(const char* s, int32_t from, int32_t size, char a, char b) {
    int32_t q = from;
#if defined(__SSE2__)
    constexpr int32_t kBlock = 16;
    const __m128i va = _mm_set1_epi8(a);
    const __m128i vb = _mm_set1_epi8(b);
    for (; q + kBlock <= size; q += kBlock) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + q));
        const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)));
        if (hits != 0) return q + __builtin_ctz(static_cast<unsigned>(hits));
    }
#endif
    while (q < size && s[q] != a && s[q] != b) ++q;
    return q;
}

// Copies src[0, n) to dst up to the first zero byte and returns how many bytes it copied: one
// pass over a large text instead of a search for the zero and then a copy.
size_t CopyUpToZero(char* dst, const char* src, size_t n) {
    size_t k = 0;
#if defined(__SSE2__)
    constexpr size_t kBlock = 16;
    const __m128i zero = _mm_setzero_si128();
    const auto load = [src](size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at)); };
    const auto store = [dst](size_t at, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), v); };
    // Four blocks a round while no zero shows, then block by block up to the zero.
    for (; k + 4 * kBlock <= n; k += 4 * kBlock) {
        const __m128i a = load(k), b = load(k + kBlock), c = load(k + 2 * kBlock), d = load(k + 3 * kBlock);
        const __m128i zeros = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)),
                                           _mm_or_si128(_mm_cmpeq_epi8(c, zero), _mm_cmpeq_epi8(d, zero)));
        if (_mm_movemask_epi8(zeros) != 0) break;
        store(k, a);
        store(k + kBlock, b);
        store(k + 2 * kBlock, c);
        store(k + 3 * kBlock, d);
    }
    for (; k + kBlock <= n; k += kBlock) {
        const __m128i v = load(k);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) != 0) break;
        store(k, v);
    }
#endif
    for (; k < n && src[k] != '\0'; ++k) dst[k] = src[k];
    return k;
}

std::string_view UpToZero(std::string_view s) {
    if (s.empty()) return {};  // its data may be null, which memchr must not see
    const void* zero = std::memchr(s.data(), 0, s.size());
    if (zero) s = s.substr(0, static_cast<const char*>(zero) - s.data());
    return s;
}

bool IsSpecial(char c, bool forAttribute) {
    const unsigned char u = static_cast<unsigned char>(c);
    return forAttribute ? kChars.attributeSpecial[u] : kChars.contentSpecial[u];
}

std::string_view EntityCode(char c) {
    for (const Entity& e : kEntities) {
        if (e.c == c) return e.code;
    }
    return {};
}

// Temporary names tried before SaveFile gives up.
constexpr int kTempNameAttempts = 100;
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;
std::atomic<unsigned> tempCounter{0};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, std::min(size, kIoChunk));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Rewrites the file itself: for a file with other hard links (a rename would part them) or
// in a folder where no temporary file can be made. Mode and owner stay as they are.
bool WriteInPlace(const std::string& target, const std::string& text) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, text.data(), text.size());
    ok = ok && ::fsync(fd) == 0;
    const int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok && errno == 0) errno = error;
    return ok;
}

// Where a chain of symbolic links that ends nowhere yet points: the file to create, so that
// the links stay. A path that is no link is its own target.
std::string DanglingLinkTarget(std::string path) {
    constexpr int kMaxLinks = 40;  // as the kernel's own limit on a chain
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string to(PATH_MAX, '\0');
        const ssize_t n = ::readlink(path.c_str(), to.data(), to.size());
        if (n <= 0 || static_cast<size_t>(n) >= to.size()) return path;
        to.resize(static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        if (to[0] != '/' && slash != std::string::npos) to = path.substr(0, slash + 1) + to;
        path = std::move(to);
    }
    return path;
}

}  // namespace

MarkupDoc::MarkupDoc() {
    // Every operation may rely on entry 0 existing.
    AssignText(nullptr);
}

MarkupDoc::~MarkupDoc() = default;

// ---------------------------------------------------------------------------------------------
// Scanning

TokenCursor MarkupDoc::CursorAt(int32_t next) const {
    TokenCursor c;
    c.next = next;
    c.source = &text;
    return c;
}

bool MarkupDoc::SeekChar(int32_t& pos, char c) const {
    const int32_t size = static_cast<int32_t>(text.size());
    if (pos >= size) {
        pos = size;
        return false;
    }
    // Mostly only a line end stands before the wanted '<': step over white space before
    // paying for a library call.
    if (!IsSpace(c)) {
        const char* s = text.c_str();
        while (IsSpace(s[pos])) ++pos;
        if (pos >= size) return false;
        if (s[pos] == c) return true;
    }
    const void* hit = std::memchr(text.data() + pos, static_cast<unsigned char>(c), size - pos);
    if (!hit) {
        pos = size;
        return false;
    }
    pos = static_cast<int32_t>(static_cast<const char*>(hit) - text.data());
    return true;
}

bool MarkupDoc::SkipSpace(int32_t& pos) const {
    // The zero after the text's last byte is no white space: it ends the loop.
    const int32_t size = static_cast<int32_t>(text.size());
    if (pos >= size) return false;
    const char* s = text.c_str();
    while (IsSpace(s[pos])) ++pos;
    return pos < size;
}

bool MarkupDoc::NextToken(TokenCursor& cursor) const {
    // The text holds no zero byte, so the zero behind it stops every loop at the end.
    const char* s = text.c_str();
    cursor.quoted = false;
    int32_t p = cursor.next;
    if (!SkipSpace(p)) {
        cursor.first = cursor.last = cursor.next = p;
        return false;
    }
    const char c = s[p];
    if (c == '"' || c == '\'') {
        cursor.quoted = true;
        cursor.first = p + 1;
        int32_t q = p + 1;
        while (s[q] != c && s[q] != '\0') ++q;
        cursor.last = q - 1;
        cursor.next = s[q] == c ? q + 1 : q;
        return true;
    }
    cursor.first = p;
    while (IsTokenChar(s[p])) ++p;
    if (p == cursor.first) ++p;
    cursor.last = p - 1;
    cursor.next = p;
    return true;
}

// Finds the '>' that closes a start tag, scanning from just after the tag name. A '>' inside a
// quoted value does not count: stopping there would make later edits of the tag write into
// the value. Quotes are recognised where NextToken recognises them (at a token's start), so
// this agrees with the attribute lookup's view of the tag.
bool MarkupDoc::SeekTagEnd(int32_t& pos) const {
    // The text holds no zero byte, so the C string scans stop exactly at its end.
    const char* s = text.c_str();
    const int32_t size = static_cast<int32_t>(text.size());
    int32_t p = pos;
    int32_t tokenStart = pos;  // known to start a token: just after the name or a closing quote
    while (p < size) {
        const int32_t hit = p + static_cast<int32_t>(std::strcspn(s + p, "\"'>"));
        if (hit >= size) break;
        if (s[hit] == '>') {
            pos = hit;
            return true;
        }
        if (hit != tokenStart && !IsDelimiter(s[hit - 1])) {
            p = hit + 1;  // a quote inside a token is an ordinary character
            continue;
        }
        const void* close = std::memchr(s + hit + 1, static_cast<unsigned char>(s[hit]), size - hit - 1);
        if (!close) break;
        p = static_cast<int32_t>(static_cast<const char*>(close) - s) + 1;
        tokenStart = p;
    }
    pos = size;
    return false;
}

// Finds the '>' of the start tag of entry i like SeekTagEnd (pos is just after the tag name,
// nameStart the name's first character) and notes the tag's attributes when the tag has the
// plain form. In that form no quote can hide a '>' from the plain scan, so both find the same '>'.
bool MarkupDoc::ScanStartTag(int i, char nameStart, int32_t& pos) {
    // The text holds no zero byte, so the zero behind it stops every loop at the end.
    const char* s = text.c_str();
    const int32_t size = static_cast<int32_t>(text.size());
    const int32_t mark = static_cast<int32_t>(parsedAttributes.size());
    const int32_t decodedMark = decodedUsed;
    int32_t count = 0;
    const int32_t guided = static_cast<int32_t>(leadIns.size());
    int32_t missed = -1;  // first attribute whose lead-in was not the guide's
    // A '>' as the name ends every attribute scan at once; leave such tags to the general path.
    int32_t p = nameStart == '>' ? size : pos;
    while (p < size) {
        const int32_t leadFirst = p;
        int32_t nameFirst = 0;
        int32_t nameLength = 0;
        char quote = '\0';
        bool hit = false;
        // Sibling tags mostly repeat the previous one's lead-in to each value (blanks, name, '='
        // and opening quote) byte for byte; the same bytes read as the same tokens.
        if (count < guided) {
            const LeadIn& lead = leadIns[static_cast<size_t>(count)];
            if (lead.length <= size - p && SameBytes(s + p, s + lead.first, static_cast<size_t>(lead.length))) {
                nameFirst = p + lead.nameOffset;
                nameLength = lead.nameLength;
                p += lead.length;
                quote = s[p - 1];
                hit = true;
            }
        }
        if (!hit) {
            while (IsSpace(s[p])) ++p;
            const char c = s[p];
            if (c == '>' || c == '/') {
                int32_t q = p;
                if (c == '/') {
                    ++q;
                    while (IsSpace(s[q])) ++q;
                    if (s[q] != '>') break;
                }
                // The same names as the guide's are as distinct as those.
                const bool sameNames = missed < 0 && count == guided;
                const bool distinct = sameNames ? leadInNamesDistinct
                                                : DistinctNames(parsedAttributes.data() + mark, count, s);
                parsedSpans[i] = ParsedSpan{mark, count, distinct};
                // This tag guides the next one. Lead-ins that matched stay as they are: the same
                // bytes serve as well from the earlier tag.
                if (missed >= 0) {
                    leadIns.swap(nextLeadIns);
                    leadInNamesDistinct = distinct;
                } else if (count > 0 && count < guided) {
                    leadIns.resize(static_cast<size_t>(count));
                    leadInNamesDistinct = distinct;
                }
                pos = q;
                return true;
            }
            if (c == '"' || c == '\'' || !IsTokenChar(c)) break;
            nameFirst = p;
            do ++p;
            while (IsTokenChar(s[p]));
            nameLength = p - nameFirst;
            while (IsSpace(s[p])) ++p;
            if (s[p] != '=') break;
            ++p;
            while (IsSpace(s[p])) ++p;
            quote = s[p];
            if (quote != '"' && quote != '\'') break;
            ++p;
        }
        // From the first lead-in that differs on, this tag's lead-ins are noted to guide the next.
        if (missed < 0 && !hit) missed = count;
        if (missed >= 0) {
            if (missed == count) nextLeadIns.assign(leadIns.begin(), leadIns.begin() + count);
            nextLeadIns.push_back(LeadIn{leadFirst, p - leadFirst, nameFirst - leadFirst, nameLength});
        }
        // p is just inside the value. A value with an '&' is decoded now, while it is at hand.
        int32_t q = FindEither(s, p, size, quote, '&');
        if (q < size && s[q] == '&') {
            const int32_t ampersand = q - p;
            q = FindEither(s, q + 1, size, quote, quote);
            if (q >= size) break;  // the text ended inside the value
            const int32_t length = q - p;
            if (decodedValues.size() < static_cast<size_t>(decodedUsed + length)) {
                decodedValues.resize(static_cast<size_t>(decodedUsed + length));
            }
            const int32_t decodedLength = DecodeInto(decodedValues.data() + decodedUsed, s + p, length, ampersand);
            parsedAttributes.emplace_back(nameFirst, nameLength, decodedUsed, decodedUsed + decodedLength - 1, true);
            decodedUsed += decodedLength;
        } else {
            if (q >= size) break;  // the text ended inside the value
            parsedAttributes.emplace_back(nameFirst, nameLength, p, q - 1, false);
        }
        ++count;
        p = q + 1;
    }
    parsedAttributes.erase(parsedAttributes.begin() + mark, parsedAttributes.end());
    decodedUsed = decodedMark;
    parsedSpans[i] = ParsedSpan{};
    return SeekTagEnd(pos);
}

bool MarkupDoc::DistinctNames(const ParsedAttribute* a, int32_t count, const char* s) {
    // Pairs grow with the square of the count; a tag with many attributes just goes without.
    if (count > kMaxDistinctCheck) return false;
    for (int32_t k = 1; k < count; ++k) {
        const std::string_view name(s + a[k].nameFirst, static_cast<size_t>(a[k].NameLength()));
        for (int32_t j = 0; j < k; ++j) {
            if (TokenIsName(s + a[j].nameFirst, static_cast<size_t>(a[j].NameLength()), name)) return false;
        }
    }
    return true;
}

std::string MarkupDoc::TokenText(const TokenCursor& cursor) const {
    const int32_t last = std::min<int32_t>(cursor.last, static_cast<int32_t>(text.size()) - 1);
    if (cursor.first > last) return {};
    return text.substr(cursor.first, last - cursor.first + 1);
}

bool MarkupDoc::TokenMatches(const TokenCursor& cursor, std::string_view name) const {
    return TokenMatches(cursor.first, cursor.last, name);
}

bool MarkupDoc::TokenMatches(int32_t first, int32_t last, std::string_view name) const {
    const int32_t n = std::max<int32_t>(0, last - first + 1);
    if (static_cast<size_t>(n) > name.size()) return false;
    // The cheap test first: what follows the token's length in the name must end it.
    if (static_cast<size_t>(n) < name.size() && kNameTails.find(name[n]) == std::string_view::npos) return false;
    if (first + n > static_cast<int32_t>(text.size())) return false;
    // Names are short and mostly differ in their first byte: a plain loop beats a call.
    const char* token = text.data() + first;
    for (int32_t k = 0; k < n; ++k) {
        if (token[k] != name[k]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Parsing

int MarkupDoc::TakeEntry() {
    if (freeIndex >= static_cast<int>(entries.size())) GrowEntries();
    return freeIndex++;
}

void MarkupDoc::GrowEntries() {
    const int grown = std::max(freeIndex + freeIndex / 2, freeIndex + 1);
    entries.resize(grown);
    parsedSpans.resize(entries.size());
}

int MarkupDoc::ReturnEntry() {
    --freeIndex;
    return 0;
}

int MarkupDoc::Fail(int32_t at, const char* message, std::string_view name) {
    lastErrorLine = 1 + static_cast<int>(std::count(text.begin(), text.begin() + std::min<size_t>(at, text.size()), '\n'));
    std::string_view m(message);
    const size_t hole = m.find("%s");
    if (!name.empty() && hole != std::string_view::npos) {
        lastError.assign(m.substr(0, hole));
        lastError.append(name);
        lastError.append(m.substr(hole + 2));
    } else {
        lastError.assign(m);
    }
    ReturnEntry();
    return -1;
}

int MarkupDoc::ParseSpecialNode(TokenCursor& cursor) const {
    const int32_t size = static_cast<int32_t>(text.size());
    const char* s = text.data();
    const int32_t lt = cursor.next;
    cursor.first = lt;
    if (lt + 2 >= size) return kNoNode;
    const char second = s[lt + 1];
    const char third = s[lt + 2];
    std::string_view marker;
    int kind = kNoNode;
    if (second == '?') {
        kind = kProcessingInstruction;
        marker = "?>";
    } else if (second == '!' && third == '[') {
        kind = kCData;
        marker = "]]>";
    } else if (second == '!' && third == '-') {
        kind = kComment;
        marker = "-->";
    } else if (second == '!') {
        int depth = 0;
        while (NextToken(cursor)) {
            if (cursor.quoted) continue;
            const char c = s[cursor.first];
            if (c == '[') {
                ++depth;
            } else if (c == ']') {
                --depth;
            } else if (c == '>' && depth == 0) {
                return kDocType;  // NextToken left next just after the '>'
            }
        }
        return kNoNode;
    } else if (second == '/') {
        return kNoNode;
    } else {
        return kElement;
    }
    const size_t at = text.find(marker, lt);
    if (at == std::string::npos) return kNoNode;
    cursor.next = static_cast<int32_t>(at + marker.size());
    return kind;
}

int MarkupDoc::ParseElement(int p, int depth) {
    const int i = TakeEntry();
    {
        ElementEntry& e = entries[i];
        e = ElementEntry{};
        e.openBegin = entries[p].closeBegin;
        e.parent = p;
    }
    TokenCursor cursor = CursorAt(entries[p].closeBegin);
    int32_t nameFirst = 0;
    int32_t nameLength = 0;
    while (nameLength == 0) {
        int32_t openBegin = cursor.next;
        if (!SeekChar(openBegin, '<')) return Fail(openBegin, "Element tag not found");
        entries[i].openBegin = openBegin;
        entries[p].closeBegin = openBegin;
        const char* s = text.c_str();
        const char afterLt = s[openBegin + 1];
        if (IsTokenChar(afterLt) && afterLt != '"' && afterLt != '\'') {
            // The usual case, a name right after the '<': what NextToken finds, without its detours.
            int32_t q = openBegin + 2;
            while (IsTokenChar(s[q])) ++q;
            cursor.first = openBegin + 1;
            cursor.last = q - 1;
            cursor.next = q;
        } else {
            cursor.next = openBegin + 1;
            if (!NextToken(cursor)) return Fail(openBegin, "Abrupt end within tag");
            if (cursor.quoted) return Fail(openBegin, "Tag starts with quote");
            const char c = s[cursor.first];
            if (c == '?' || c == '!') {
                cursor.next = openBegin;
                // A kElement result means blanks stand between '<' and the marker; skipping
                // nothing there would search the same '<' forever.
                const int kind = ParseSpecialNode(cursor);
                if (kind == kNoNode || kind == kElement) return Fail(openBegin, "Invalid node");
                continue;
            }
            if (c == '/') return ReturnEntry();
        }
        nameFirst = cursor.first;
        nameLength = cursor.last - cursor.first + 1;
        if (!ScanStartTag(i, s[nameFirst], cursor.next)) return Fail(entries[i].openBegin, "End of tag not found");
    }
    const std::string_view name(text.data() + nameFirst, nameLength);
    if (depth > kMaxDepth) return Fail(entries[i].openBegin, "Element nesting too deep");

    const int32_t openEnd = cursor.next;
    entries[i].openEnd = openEnd;
    if (text[openEnd - 1] == '/') {
        entries[i].closeBegin = openEnd - 1;
        entries[i].closeEnd = openEnd;
        return i;
    }

    entries[i].closeBegin = openEnd + 1;
    int previous = 0;
    for (;;) {
        const int k = ParseElement(i, depth + 1);
        if (k < 0) return -1;
        if (k == 0) break;
        if (previous == 0) {
            entries[i].firstChild = k;
        } else {
            entries[previous].nextSibling = k;
        }
        previous = k;
        entries[i].closeBegin = entries[k].closeEnd + 1;
    }

    int32_t closeBegin = entries[i].closeBegin;
    if (!SeekChar(closeBegin, '<')) return Fail(closeBegin, "End tag of %s element not found", name);
    entries[i].closeBegin = closeBegin;

    cursor.next = closeBegin + 1;
    int count = 0;
    bool closed = false;
    while (NextToken(cursor)) {
        ++count;
        if (cursor.quoted) continue;
        const char c = text[cursor.first];
        if (count == 1 && c != '/') return Fail(closeBegin, "Expecting end tag of element %s", name);
        if (count == 2 && !TokenMatches(cursor, name)) {
            return Fail(closeBegin, "End tag does not correspond to %s", name);
        }
        if (c == '>') {
            closed = true;
            break;
        }
    }
    if (!closed || count < 2) return Fail(closeBegin, "End tag not completed for element %s", name);
    entries[i].closeEnd = cursor.first;
    return i;
}

bool MarkupDoc::AssignText(const char* t) {
    return AssignText(t ? std::string_view(t) : std::string_view());
}

bool MarkupDoc::AssignText(std::string_view t) {
    const std::less<const char*> before;
    const bool ownText =
        !t.empty() && !before(t.data(), text.data()) && before(t.data(), text.data() + text.size());
    if (!ownText && !t.empty() && t.size() <= text.capacity()) {
        // Into the old text's storage, copied and searched for a zero byte in one pass; growing
        // the text instead would fill it with zeros first.
        text.resize(t.size());
        text.resize(CopyUpToZero(text.data(), t.data(), t.size()));
    } else {
        t = UpToZero(t);
        if (t.empty() || static_cast<int64_t>(t.size()) > kMaxTextLength) {
            text.clear();
        } else {
            text.assign(t.data(), t.size());  // safe for a piece of the text itself
        }
    }
    return ParseText();
}

bool MarkupDoc::AssignOwned(std::string&& t) {
    const size_t zero = t.find('\0');
    if (zero != std::string::npos) t.resize(zero);
    if (static_cast<int64_t>(t.size()) > kMaxTextLength) t.clear();
    text = std::move(t);
    return ParseText();
}

bool MarkupDoc::ParseText() {
    tagTokensOf = 0;
    freeIndex = 1;
    parentIndex = currentIndex = childIndex = nodeKind = 0;

    const size_t wanted = text.size() / kCharsPerEntry + kMinEntries;
    if (entries.size() < wanted) entries.resize(wanted);
    if (parsedSpans.size() < entries.size()) parsedSpans.resize(entries.size());
    parsedAttributes.clear();
    // Room for the notes up front: pages the parse does not fill are never touched.
    parsedAttributes.reserve(text.size() / kCharsPerAttribute);
    decodedUsed = 0;
    leadIns.clear();
    leadInNamesDistinct = false;
    lastNameAt = -1;
    parsedValid = true;
    lastErrorLine = 0;

    bool result = false;
    if (!text.empty()) {
        entries[0] = ElementEntry{};
        const int k = ParseElement(0, 1);
        if (k > 0) {
            entries[0].firstChild = k;
            result = true;
        }
    }
    if (!result) {
        entries[0] = ElementEntry{};
        freeIndex = 1;
    }
    parentIndex = currentIndex = childIndex = nodeKind = 0;
    currentNotes = ParsedSpan{};
    return result;
}

bool MarkupDoc::LoadFile(const std::string& path) {
    std::string contents;
    bool ok = false;
    // Only regular files: a FIFO or device would block or never end.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            st.st_size <= kMaxTextLength) {
            contents.resize(static_cast<size_t>(st.st_size));
            size_t done = 0;
            while (done < contents.size()) {
                ssize_t n = ::read(fd, contents.data() + done,
                                   std::min(contents.size() - done, kIoChunk));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ok = done == contents.size();
        }
        ::close(fd);
    }
    lastErrorLine = 0;
    if (ok && AssignOwned(std::move(contents))) return true;
    const int failedLine = lastErrorLine;
    AssignText(nullptr);
    lastErrorLine = failedLine;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Navigation and lookup

bool MarkupDoc::HasRoot() const {
    return !entries.empty() && entries[0].firstChild != 0;
}

int MarkupDoc::FindChild(int p, int after, std::string_view name) const {
    int k = after != 0 ? entries[after].nextSibling : entries[p].firstChild;
    if (name.empty()) return k;
    for (; k != 0; k = entries[k].nextSibling) {
        TokenCursor c = CursorAt(entries[k].openBegin + 1);
        if (NextToken(c) && TokenMatches(c, name)) return k;
    }
    return 0;
}

bool MarkupDoc::FindSibling(std::string_view name) {
    int k = 0;
    if (name.empty()) {
        // The loader's walk: FindChild's first step, without the call.
        k = currentIndex != 0 ? entries[currentIndex].nextSibling : entries[parentIndex].firstChild;
    } else {
        k = FindChild(parentIndex, currentIndex, name);
    }
    if (k == 0) return false;
    parentIndex = entries[k].parent;
    currentIndex = k;
    childIndex = 0;
    nodeKind = 1;
    NoteCurrent();
    return true;
}

bool MarkupDoc::EnterElement() {
    if (currentIndex == 0 || nodeKind != 1) return false;
    parentIndex = currentIndex;
    currentIndex = childIndex;
    childIndex = 0;
    nodeKind = currentIndex != 0 ? 1 : 0;
    NoteCurrent();
    return true;
}

void MarkupDoc::NoteCurrent() {
    // parsedSpans grows with entries, so every index in use has its notes.
    const bool noted = parsedValid && nodeKind == 1 && currentIndex > 0;
    currentNotes = noted ? parsedSpans[static_cast<size_t>(currentIndex)] : ParsedSpan{};
}

bool MarkupDoc::FindAttribute(TokenCursor& cursor, std::string_view name) const {
    int position = 0;
    int match = 0;
    while (NextToken(cursor)) {
        if (!cursor.quoted) {
            const char c = text[cursor.first];
            if (c == '>' || c == '/') return false;
            if (c != '=' && position >= 1 && match == 0) {
                if (name.empty()) return true;
                if (TokenMatches(cursor, name)) match = position;
            }
        } else if (match != 0 && position == match + 2) {
            return true;
        }
        ++position;
    }
    return false;
}

void MarkupDoc::RememberTag(int i) const {
    if (tagTokensOf == i) return;
    tagTokens.clear();
    tagNames.clear();
    tagCandidates.clear();
    // NextToken's rules in one loop; the zero behind the text ends it.
    const char* s = text.c_str();
    int32_t p = entries[i].openBegin + 1;
    for (;;) {
        while (IsSpace(s[p])) ++p;
        const char c = s[p];
        if (c == '\0') break;
        if (c == '"' || c == '\'') {
            const void* close = std::memchr(s + p + 1, static_cast<unsigned char>(c), text.size() - p - 1);
            const int32_t q = close ? static_cast<int32_t>(static_cast<const char*>(close) - s)
                                    : static_cast<int32_t>(text.size());
            tagTokens.push_back({p + 1, q - 1, true});
            p = close ? q + 1 : q;
            continue;
        }
        const int32_t start = p;
        while (IsTokenChar(s[p])) ++p;
        if (p == start) ++p;
        tagTokens.push_back({start, p - 1, false});
        if (c == '>' || c == '/') break;
    }
    // A nameless FindAttribute stops on the first unquoted token other than '=' at position 1
    // or later of its own scan; each scan starts just after the name the previous one found.
    // A named one matches the first candidate and takes the quoted token two places on, unless
    // a '>' or '/' comes first.
    const size_t count = tagTokens.size();
    const auto isStop = [s](const TagToken& t) { return !t.quoted && (s[t.first] == '>' || s[t.first] == '/'); };
    size_t start = 0;
    for (size_t k = 0; k < count; ++k) {
        const TagToken& t = tagTokens[k];
        if (t.quoted) continue;
        const char c = s[t.first];
        if (c == '>' || c == '/') break;
        if (c == '=' || k == 0) continue;
        TagCandidate candidate{t.first, t.last, 0, -1, false};
        if (k + 2 < count && !isStop(tagTokens[k + 1]) && tagTokens[k + 2].quoted) {
            candidate.valueFirst = tagTokens[k + 2].first;
            candidate.valueLast = tagTokens[k + 2].last;
            candidate.hasValue = true;
        }
        tagCandidates.push_back(candidate);
        if (k > start) {
            tagNames.push_back(static_cast<int32_t>(k));
            start = k + 1;
        }
    }
    tagTokensOf = i;
}

std::string MarkupDoc::ScannedAttributeNameAt(int n) const {
    if (currentIndex == 0 || nodeKind != 1 || n < 0) return {};
    RememberTag(currentIndex);
    if (static_cast<size_t>(n) >= tagNames.size()) return {};
    const TagToken& t = tagTokens[tagNames[n]];
    return std::string(text.data() + t.first, static_cast<size_t>(t.last - t.first + 1));
}

std::string MarkupDoc::ScannedAttributeValue(std::string_view name) const {
    if (currentIndex == 0 || nodeKind != 1 || name.empty()) return {};
    RememberTag(currentIndex);
    for (const TagCandidate& c : tagCandidates) {
        if (TokenMatches(c.nameFirst, c.nameLast, name)) {
            return c.hasValue ? DecodeText(c.valueFirst, c.valueLast) : std::string();
        }
    }
    return {};
}

std::string MarkupDoc::DecodeText(int32_t from, int32_t to) const {
    if (from > to) return {};
    const char* src = text.data() + from;
    const int32_t length = to - from + 1;
    const int32_t ampersand = FindEither(src, 0, length, '&', '&');
    if (ampersand == length) return std::string(src, static_cast<size_t>(length));
    // Values are mostly short: decode on the stack and build the result once.
    if (length <= kDecodeBufferSize) {
        char local[kDecodeBufferSize];
        return std::string(local, static_cast<size_t>(DecodeInto(local, src, length, ampersand)));
    }
    std::string out(static_cast<size_t>(length), '\0');
    out.resize(static_cast<size_t>(DecodeInto(out.data(), src, length, ampersand)));
    return out;
}

int32_t MarkupDoc::DecodeInto(char* out, const char* src, int32_t length, int32_t ampersand) {
    // Codes only ever shrink the text, so out needs no more room than length.
    std::memcpy(out, src, static_cast<size_t>(ampersand));
    int32_t r = ampersand;
    int32_t w = r;
    while (r < length) {
        char decoded = '&';  // src[r] is an '&'
        int32_t skip = 1;
        // A code counts only when it ends inside the range.
        const int k = r + 1 < length ? EntityCandidate(src + r + 1) : -1;
        if (k >= 0) {
            const Entity& e = kEntities[static_cast<size_t>(k)];
            const int32_t codeLength = static_cast<int32_t>(e.code.size());
            if (r + codeLength < length &&
                SameBytes(src + r + 1, e.code.data(), static_cast<size_t>(codeLength))) {
                decoded = e.c;
                skip = 1 + codeLength;
            }
        }
        out[w++] = decoded;
        for (r += skip; r < length && src[r] != '&'; ++r) out[w++] = src[r];
    }
    return w;
}

std::string MarkupDoc::TagNameOf(int i) const {
    if (i <= 0 || i >= freeIndex) return {};
    TokenCursor c = CursorAt(entries[i].openBegin + 1);
    if (!NextToken(c)) return {};
    return TokenText(c);
}

// ---------------------------------------------------------------------------------------------
// Editing

std::string MarkupDoc::EncodeText(std::string_view value, bool forAttribute) {
    std::string out;
    out.reserve(value.size() + value.size() / kEncodeReserveDivisor);
    EncodeInto(out, value, forAttribute);
    return out;
}

void MarkupDoc::EncodeInto(std::string& out, std::string_view value, bool forAttribute) {
    size_t start = 0;
    for (size_t p = 0; p < value.size(); ++p) {
        if (!IsSpecial(value[p], forAttribute)) continue;
        out.append(value.substr(start, p - start));
        out.push_back('&');
        out.append(EntityCode(value[p]));
        start = p + 1;
    }
    out.append(value.substr(start));
}

bool MarkupDoc::IsEmptyElement(int i) const {
    return entries[i].openEnd == entries[i].closeBegin + 1;
}

void MarkupDoc::ReplaceText(int32_t at, int32_t count, std::string_view insert) {
    tagTokensOf = 0;
    parsedValid = false;
    currentNotes = ParsedSpan{};
    text.replace(static_cast<size_t>(at), static_cast<size_t>(count), insert);
}

void MarkupDoc::ShiftFollowing(int i, int32_t delta) {
    int e = i;
    int top = entries[i].parent;
    while (e != 0) {
        bool enclosing = false;
        if (e == top) {
            top = entries[e].parent;
            enclosing = true;
        }
        int next = 0;
        if (!enclosing && entries[e].firstChild != 0) {
            next = entries[e].firstChild;
        } else if (entries[e].nextSibling != 0) {
            next = entries[e].nextSibling;
        } else {
            int up = e;
            for (;;) {
                up = entries[up].parent;
                if (up == 0 || up == top) {
                    next = up;
                    break;
                }
                if (entries[up].nextSibling != 0) {
                    next = entries[up].nextSibling;
                    break;
                }
            }
        }
        e = next;
        ElementEntry& moved = entries[e];
        if (e != top) {
            moved.openBegin += delta;
            moved.openEnd += delta;
        }
        moved.closeBegin += delta;
        moved.closeEnd += delta;
    }
}

void MarkupDoc::LocateInsert(int p, int after, int32_t& offset, int& predecessor) const {
    const bool parentEmpty = p != 0 && IsEmptyElement(p);
    if (after != 0) {
        offset = entries[after].closeEnd + 1;
    } else if (p == 0) {
        offset = static_cast<int32_t>(text.size());
    } else if (parentEmpty) {
        offset = entries[p].openEnd;
    } else {
        offset = entries[p].closeBegin;
    }
    if (!parentEmpty) {
        int32_t q = offset;
        if (!SkipSpace(q) || text[q] == '<') offset = q;
    }
    predecessor = 0;
    if (after != 0) {
        predecessor = after;
    } else if (entries[p].firstChild != 0) {
        int k = entries[p].firstChild;
        while (entries[k].nextSibling != 0) k = entries[k].nextSibling;
        predecessor = k;
    }
}

bool MarkupDoc::AppendElement(std::string_view name, std::string_view content) {
    if (!IsWritableName(name)) return false;
    content = UpToZero(content);
    if (parentIndex == 0 && HasRoot()) return false;

    const int p = parentIndex;
    int depth = 1;
    for (int up = p; up != 0; up = entries[up].parent) ++depth;
    if (depth > kMaxDepth) return false;

    const bool parentEmpty = p != 0 && IsEmptyElement(p);
    // Splitting replaces only the '/' of "/>": a start tag ending in "//>" would still read as
    // empty and the new child would be lost on the next load.
    if (parentEmpty && entries[p].openEnd - 2 > entries[p].openBegin && text[entries[p].openEnd - 2] == '/') {
        return false;
    }
    const std::string parentName = parentEmpty ? TagNameOf(p) : std::string();

    std::string& insert = scratch;
    insert.clear();
    if (parentEmpty) {
        insert.append(kEndTagClose);
    }
    insert.append(kTagOpen).append(name);
    int32_t encodedLength = 0;
    if (content.empty()) {
        insert.append(kEmptyTagClose);
    } else {
        insert.append(kTagClose);
        const size_t before = insert.size();
        insert.reserve(before + content.size() + content.size() / kEncodeReserveDivisor + 2 * name.size() +
                       kEndTagOpen.size() + kEndTagClose.size());
        EncodeInto(insert, content, false);
        encodedLength = static_cast<int32_t>(insert.size() - before);
        insert.append(kEndTagOpen).append(name).append(kEndTagClose);
    }
    if (parentEmpty) {
        insert.append(kEndTagOpen).append(parentName);
    }
    const int32_t replaced = parentEmpty ? 1 : 0;
    const int64_t delta = static_cast<int64_t>(insert.size()) - replaced;
    if (static_cast<int64_t>(text.size()) + delta > kMaxTextLength) return false;

    if (p == 0) entries[0].closeBegin = static_cast<int32_t>(text.size());
    int32_t offset = 0;
    int predecessor = 0;
    LocateInsert(p, currentIndex, offset, predecessor);
    if (parentEmpty) offset += 2;

    const int k = TakeEntry();
    ElementEntry& e = entries[k];
    e = ElementEntry{};
    e.openBegin = offset;
    e.parent = p;
    if (predecessor != 0) {
        e.nextSibling = entries[predecessor].nextSibling;
        entries[predecessor].nextSibling = k;
    } else {
        e.nextSibling = entries[p].firstChild;
        entries[p].firstChild = k;
    }
    const int32_t L = static_cast<int32_t>(name.size());
    if (content.empty()) {
        e.openEnd = e.openBegin + L + 2;
        e.closeBegin = e.openEnd - 1;
        e.closeEnd = e.closeBegin + 1;
    } else {
        e.openEnd = e.openBegin + L + 1;
        e.closeBegin = e.openEnd + encodedLength + 1;
        e.closeEnd = e.closeBegin + L + 2;
    }

    int32_t at = offset;
    if (parentEmpty) {
        at = offset - 3;
        entries[p].openEnd -= 1;
        entries[p].closeBegin -= static_cast<int32_t>(parentName.size()) + 1;
    }
    ReplaceText(at, replaced, insert);
    ShiftFollowing(k, static_cast<int32_t>(delta));

    parentIndex = p;
    currentIndex = k;
    childIndex = 0;
    nodeKind = 1;
    NoteCurrent();
    return true;
}

bool MarkupDoc::WriteAttribute(std::string_view name, std::string_view value) {
    if (currentIndex == 0 || nodeKind != 1) return false;
    if (!IsWritableName(name)) return false;
    value = UpToZero(value);

    const int i = currentIndex;
    TokenCursor c = CursorAt(entries[i].openBegin + 1);
    std::string& insert = scratch;
    insert.clear();
    int32_t at = 0;
    int32_t replaced = 0;
    if (FindAttribute(c, name)) {
        at = c.first;
        replaced = c.last - c.first + 1;
        EncodeInto(insert, value, true);
    } else {
        at = IsEmptyElement(i) ? entries[i].openEnd - 1 : entries[i].openEnd;
        insert.append(kAttrSeparator).append(name).append(kAttrAssign);
        EncodeInto(insert, value, true);
        insert.append(kAttrQuote);
    }
    const int64_t delta = static_cast<int64_t>(insert.size()) - replaced;
    if (static_cast<int64_t>(text.size()) + delta > kMaxTextLength) return false;

    ReplaceText(at, replaced, insert);
    const int32_t d = static_cast<int32_t>(delta);
    entries[i].openEnd += d;
    entries[i].closeBegin += d;
    entries[i].closeEnd += d;
    ShiftFollowing(i, d);
    return true;
}

bool MarkupDoc::WriteAttribute(std::string_view name, int32_t value) {
    // Plain decimal with a minus sign for negatives, as "%d" writes it.
    char buffer[16];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return WriteAttribute(name, std::string_view(buffer, static_cast<size_t>(end - buffer)));
}

// ---------------------------------------------------------------------------------------------
// Output

bool MarkupDoc::SaveFile(const std::string& path) const {
    if (path.empty()) return false;
    // Replace what a symbolic link points at, not the link itself.
    std::string target = path;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return false;
    if (exists) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            target = real;
            ::free(real);
        }
    } else {
        target = DanglingLinkTarget(path);
    }

    if (exists && st.st_nlink > 1) return WriteInPlace(target, text);

    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // A hidden name beside the target, since rename() only replaces within one file system.
    // open() with mode 0666 gives a new file the permissions the umask allows, as "wb" would.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < kTempNameAttempts && fd < 0; ++attempt) {
        temp = dir + "." + base + "." + std::to_string(::getpid()) + "." +
               std::to_string(++tempCounter) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int error = errno;
        if (exists && WriteInPlace(target, text)) return true;
        if (errno == 0) errno = error;
        return false;
    }

    bool ok = !exists || ::fchmod(fd, st.st_mode & kPermissionBits) == 0;
    ok = ok && WriteAll(fd, text.data(), text.size());
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}
