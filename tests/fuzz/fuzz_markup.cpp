// Fuzz target for MarkupDoc: any text through AssignText, then a run of navigation, lookups
// and edits chosen by the remaining bytes. Checks that the index always points at real tags
// and that edits keep the index equal to a fresh parse of the edited text.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MarkupDoc.h"

namespace {

constexpr size_t kMaxNameLength = 12;
constexpr size_t kMaxValueLength = 40;
constexpr int kMaxOperations = 64;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Element offsets and depth in document order; iterative, so deep trees need no stack.
std::vector<int> Shape(const MarkupDoc& doc) {
    std::vector<int> shape;
    if (!doc.HasRoot()) return shape;
    const auto& e = doc.Entries();
    std::vector<std::pair<int, int>> stack{{e[0].firstChild, 0}};
    while (!stack.empty()) {
        const auto [i, depth] = stack.back();
        stack.pop_back();
        shape.insert(shape.end(), {e[i].openBegin, e[i].openEnd, e[i].closeBegin, e[i].closeEnd, depth});
        std::vector<int> children;
        for (int c = e[i].firstChild; c != 0; c = e[c].nextSibling) children.push_back(c);
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back({*it, depth + 1});
    }
    return shape;
}

// Every indexed element starts with '<' and ends with '>', inside its parent, in order.
void CheckIndex(const MarkupDoc& doc) {
    const std::string& t = doc.Text();
    const auto& e = doc.Entries();
    const int size = static_cast<int>(t.size());
    for (int i = 1; i < doc.FreeIndex(); ++i) {
        const ElementEntry& x = e[i];
        Check(0 <= x.openBegin && x.openBegin < x.openEnd && x.openEnd < size, "start tag in text");
        Check(x.closeBegin < x.closeEnd || x.openEnd == x.closeBegin + 1, "end tag order");
        Check(x.closeEnd < size && x.openEnd <= x.closeEnd, "end tag in text");
        Check(t[x.openBegin] == '<' && t[x.openEnd] == '>' && t[x.closeEnd] == '>', "tag delimiters");
        if (x.openEnd != x.closeBegin + 1) Check(t[x.closeBegin] == '<', "end tag start");
        if (x.parent != 0) {
            const ElementEntry& p = e[x.parent];
            Check(p.openEnd < x.openBegin && x.closeEnd < p.closeBegin, "child inside parent");
        }
        if (x.nextSibling != 0) Check(x.closeEnd < e[x.nextSibling].openBegin, "siblings in order");
    }
}

// Names the editing operations accept are the ones whose round trip is promised; a parsed
// text may hold names such as "=" or ">" that only its own quirky end-tag rules can close.
bool PlainNames(const MarkupDoc& doc) {
    for (int i = 1; i < doc.FreeIndex(); ++i) {
        const std::string name = doc.TagNameOf(i);
        if (name.find_first_of(" \t\n\r<>=\\/?!\"'") != std::string::npos || name.empty()) return false;
    }
    return true;
}

// The attribute lookups written out plainly as scans over the text, token by token; the
// class answers from tokens it remembers per element and must give the same results.
struct RefCursor {
    int first = 0, last = -1, next = 0;
    bool quoted = false;
};

bool RefNextToken(const std::string& t, RefCursor& c) {
    const int size = static_cast<int>(t.size());
    const std::string_view space = " \t\n\r", delimiters = " \t\n\r<>=\\/?!";
    c.quoted = false;
    int p = c.next;
    while (p < size && space.find(t[p]) != std::string_view::npos) ++p;
    if (p >= size) {
        c.first = c.last = c.next = p;
        return false;
    }
    if (t[p] == '"' || t[p] == '\'') {
        c.quoted = true;
        c.first = p + 1;
        int q = p + 1;
        while (q < size && t[q] != t[p]) ++q;
        c.last = q - 1;
        c.next = q < size ? q + 1 : size;
        return true;
    }
    c.first = p;
    while (p < size && delimiters.find(t[p]) == std::string_view::npos) ++p;
    if (p == c.first) ++p;
    c.last = p - 1;
    c.next = p;
    return true;
}

bool RefMatches(const std::string& t, const RefCursor& c, std::string_view name) {
    const size_t n = static_cast<size_t>(c.last - c.first + 1);
    if (n > name.size() || t.compare(c.first, n, name.substr(0, n)) != 0) return false;
    return n == name.size() || std::string_view(" =/[").find(name[n]) != std::string_view::npos;
}

bool RefFindAttribute(const std::string& t, RefCursor& c, std::string_view name) {
    int position = 0, match = 0;
    while (RefNextToken(t, c)) {
        if (!c.quoted) {
            const char ch = t[c.first];
            if (ch == '>' || ch == '/') return false;
            if (ch != '=' && position >= 1 && match == 0) {
                if (name.empty()) return true;
                if (RefMatches(t, c, name)) match = position;
            }
        } else if (match != 0 && position == match + 2) {
            return true;
        }
        ++position;
    }
    return false;
}

std::string RefNameAt(const MarkupDoc& doc, int n) {
    if (doc.CurrentIndex() == 0 || doc.NodeKind() != 1 || n < 0) return {};
    RefCursor c;
    c.next = doc.Entries()[doc.CurrentIndex()].openBegin + 1;
    for (int call = 0; call <= n; ++call) {
        if (!RefFindAttribute(doc.Text(), c, {})) return {};
    }
    return doc.Text().substr(c.first, c.last - c.first + 1);
}

std::string RefValue(const MarkupDoc& doc, std::string_view name) {
    if (doc.CurrentIndex() == 0 || doc.NodeKind() != 1 || name.empty()) return {};
    const std::string& t = doc.Text();
    RefCursor c;
    c.next = doc.Entries()[doc.CurrentIndex()].openBegin + 1;
    if (!RefFindAttribute(t, c, name)) return {};
    std::string out;
    const std::pair<const char*, char> codes[] = {{"lt;", '<'}, {"amp;", '&'}, {"gt;", '>'}, {"apos;", '\''}, {"quot;", '"'}};
    for (int p = c.first; p <= c.last;) {
        if (t[p] == '&') {
            bool done = false;
            for (const auto& [code, ch] : codes) {
                const int length = static_cast<int>(std::strlen(code));
                if (p + length <= c.last && t.compare(p + 1, length, code) == 0) {
                    out.push_back(ch);
                    p += 1 + length;
                    done = true;
                    break;
                }
            }
            if (done) continue;
        }
        out.push_back(t[p++]);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    MarkupDoc doc;
    const bool fromEmpty = in.ConsumeBool();
    const std::string text = fromEmpty ? std::string() : in.ConsumeRandomLengthString();
    const bool parsed = doc.AssignText(text);
    Check(parsed == doc.HasRoot(), "result matches root");
    CheckIndex(doc);
    // Round trips are promised for texts that parsed (or started empty) with plain names.
    const bool roundTrip = (fromEmpty || parsed) && PlainNames(doc);

    for (int op = 0; op < kMaxOperations && in.remaining_bytes() > 0; ++op) {
        bool edited = false;
        std::string lastName, lastValue;
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
            doc.FindSibling();
            break;
        case 1:
            doc.FindSibling(in.ConsumeRandomLengthString(kMaxNameLength));
            break;
        case 2:
            doc.EnterElement();
            break;
        case 3: {
            const int n = in.ConsumeIntegralInRange(-1, 8);
            const std::string name = doc.AttributeNameAt(n);
            Check(name == RefNameAt(doc, n), "attribute name by position");
            Check(doc.AttributeValue(name) == RefValue(doc, name), "attribute value of named attribute");
            break;
        }
        case 4: {
            const std::string name = in.ConsumeRandomLengthString(kMaxNameLength);
            Check(doc.AttributeValue(name) == RefValue(doc, name), "attribute value");
            break;
        }
        case 5: {
            const std::string name = in.ConsumeRandomLengthString(kMaxNameLength);
            edited = doc.AppendElement(name, in.ConsumeRandomLengthString(kMaxValueLength));
            if (edited) Check(doc.TagNameOf(doc.CurrentIndex()) == name, "appended name reads back");
            break;
        }
        case 6:
            lastName = in.ConsumeRandomLengthString(kMaxNameLength);
            lastValue = in.ConsumeRandomLengthString(kMaxValueLength);
            edited = doc.WriteAttribute(lastName, lastValue);
            break;
        default:
            lastName = in.ConsumeRandomLengthString(kMaxNameLength);
            edited = doc.WriteAttribute(lastName, in.ConsumeIntegral<int32_t>());
            lastName.clear();
            break;
        }
        if (!edited) continue;
        CheckIndex(doc);
        if (!roundTrip) continue;
        MarkupDoc fresh;
        Check(fresh.AssignText(doc.Text()), "edited text parses again");
        Check(Shape(fresh) == Shape(doc), "edited index equals a fresh parse");
        if (fromEmpty && !lastName.empty()) {
            const std::string cut = lastValue.substr(0, lastValue.find('\0'));
            Check(doc.AttributeValue(lastName) == cut, "written value reads back");
        }
    }
    return 0;
}
