// Fuzz target for MarkupDoc: any text through AssignText, then a run of navigation, lookups
// and edits chosen by the remaining bytes. Checks that the index always points at real tags
// and that edits keep the index equal to a fresh parse of the edited text.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstdio>
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
            const std::string value = doc.AttributeValue(doc.AttributeNameAt(n));
            Check(value.size() <= doc.Text().size(), "value longer than text");
            break;
        }
        case 4:
            doc.AttributeValue(in.ConsumeRandomLengthString(kMaxNameLength));
            break;
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
