// MarkupDoc against pugixml on a code group file of 2,000 groups with 50 items each.
//   load: AssignText (or pugixml parsing the same text with names made legal, <n0 .../>) and
//         reading every attribute value by position, as the code group loader reads them;
//   save: building the document element by element and writing it to a file.
// Usage: bench_markup [folder for the files] (default: a new folder under $TMPDIR or /tmp).
// Prints the best of several runs of each and the ratio MarkupDoc / pugixml (goal: <= 1.0).
// Instruction counts, steadier than times on a busy machine: run it under
//   valgrind --tool=callgrind --toggle-collect='*LoadMarkup*'   (or '*LoadPugi*')
// and divide the total by the number of runs (kRuns).

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "MarkupDoc.h"

namespace {

constexpr int kGroups = 2000;
constexpr int kItemsPerGroup = 50;
// Runs of each measurement; the best counts. Seven often caught no quiet moment on a shared
// machine for the 10 ms loads.
constexpr int kRuns = 15;
constexpr int kGroupType = 2;
constexpr int kItemType = 3;
constexpr int kAttributesPerNode = 4;
constexpr int kRootAttributes = 2;

struct Record {
    int type;
    std::string user;
    std::string description;
    std::string code;
};

std::vector<Record> MakeRecords() {
    std::vector<Record> records;
    records.reserve(kGroups * (kItemsPerGroup + 1));
    for (int g = 0; g < kGroups; ++g) {
        records.push_back({kGroupType, "Studio", "Hall " + std::to_string(g), ""});
        for (int i = 0; i < kItemsPerGroup; ++i) {
            const int in = i % 64 + 1;
            const std::string out = std::to_string(g % 200 + 1);
            records.push_back({kItemType, "Op" + std::to_string(i),
                               "In " + std::to_string(in) + " to " + out + "-" + std::to_string(g % 200 + 4) +
                                   " \"main\"",
                               std::to_string(in) + "V" + out + "," + std::to_string(g % 200 + 2) + "."});
        }
    }
    return records;
}

using Clock = std::chrono::steady_clock;

double BestMs(const std::function<void()>& run) {
    double best = 1e300;
    for (int r = 0; r < kRuns; ++r) {
        const auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

// Keeps the optimiser from dropping the values read.
size_t g_sink = 0;

void BuildMarkup(MarkupDoc& doc, const std::vector<Record>& records) {
    doc.AssignText("");
    doc.AppendElement("CodeTree");
    doc.WriteAttribute("User", "Vantrel");
    doc.WriteAttribute("Description", "CodeTree");
    doc.EnterElement();
    int n = 0;
    for (const Record& r : records) {
        doc.AppendElement(std::to_string(n++));
        doc.WriteAttribute("Type", r.type);
        doc.WriteAttribute("User", r.user);
        doc.WriteAttribute("Description", r.description);
        doc.WriteAttribute("Code", r.code);
    }
}

void BuildPugi(pugi::xml_document& doc, const std::vector<Record>& records) {
    doc.reset();
    pugi::xml_node root = doc.append_child("CodeTree");
    root.append_attribute("User") = "Vantrel";
    root.append_attribute("Description") = "CodeTree";
    int n = 0;
    for (const Record& r : records) {
        pugi::xml_node node = root.append_child(("n" + std::to_string(n++)).c_str());
        node.append_attribute("Type") = r.type;
        node.append_attribute("User") = r.user.c_str();
        node.append_attribute("Description") = r.description.c_str();
        node.append_attribute("Code") = r.code.c_str();
    }
}

// Kept out of line so that callgrind can count them on their own.
[[gnu::noinline]] size_t LoadMarkup(MarkupDoc& doc, const std::string& text) {
    size_t total = 0;
    doc.AssignText(text);
    if (!doc.FindSibling("CodeTree")) return 0;
    for (int n = 0; n < kRootAttributes; ++n) total += doc.AttributeValue(doc.AttributeNameAt(n)).size();
    doc.EnterElement();
    while (doc.FindSibling()) {
        for (int n = 0; n < kAttributesPerNode; ++n) total += doc.AttributeValue(doc.AttributeNameAt(n)).size();
    }
    return total;
}

[[gnu::noinline]] size_t LoadPugi(pugi::xml_document& doc, const std::string& text) {
    size_t total = 0;
    if (!doc.load_buffer(text.data(), text.size())) return 0;
    const pugi::xml_node root = doc.child("CodeTree");
    if (!root) return 0;
    const auto valuesByPosition = [&total](const pugi::xml_node& node, int count) {
        pugi::xml_attribute a = node.first_attribute();
        for (int n = 0; n < count; ++n) {
            const std::string value = a.value();  // an empty text past the last attribute
            total += value.size();
            a = a.next_attribute();
        }
    };
    valuesByPosition(root, kRootAttributes);
    for (pugi::xml_node node = root.first_child(); node; node = node.next_sibling()) {
        if (node.type() == pugi::node_element) valuesByPosition(node, kAttributesPerNode);
    }
    return total;
}

std::string ReadFile(const std::string& path) {
    std::string bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[1 << 16];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

void Report(const char* what, double ours, double theirs) {
    std::printf("%-6s MarkupDoc %8.2f ms   pugixml %8.2f ms   ratio %.2f\n", what, ours, theirs, ours / theirs);
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    if (argc > 1) {
        dir = argv[1];
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_markup.XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = pattern;
    }
    const std::string ourFile = dir + "/markup.cgf";
    const std::string pugiFile = dir + "/pugixml.xml";
    const std::vector<Record> records = MakeRecords();

    MarkupDoc doc;
    pugi::xml_document pdoc;
    bool saved = true;
    const double buildOurs = BestMs([&] { BuildMarkup(doc, records); });
    const double buildPugi = BestMs([&] { BuildPugi(pdoc, records); });
    const double writeOurs = BestMs([&] { saved = doc.SaveFile(ourFile) && saved; });
    const double writePugi =
        BestMs([&] { saved = pdoc.save_file(pugiFile.c_str(), "", pugi::format_indent | pugi::format_no_declaration) && saved; });
    const double saveOurs = BestMs([&] {
        BuildMarkup(doc, records);
        saved = doc.SaveFile(ourFile) && saved;
    });
    const double savePugi = BestMs([&] {
        BuildPugi(pdoc, records);
        saved = pdoc.save_file(pugiFile.c_str(), "", pugi::format_indent | pugi::format_no_declaration) && saved;
    });
    if (!saved) {
        std::fprintf(stderr, "a save failed in %s\n", dir.c_str());
        return 1;
    }

    const std::string ourText = ReadFile(ourFile);
    // The same text with names an XML parser accepts: <0 ...> becomes <n0 ...>.
    std::string pugiText;
    pugiText.reserve(ourText.size() + records.size());
    for (size_t i = 0; i < ourText.size(); ++i) {
        pugiText.push_back(ourText[i]);
        if (ourText[i] == '<' && i + 1 < ourText.size() && ourText[i + 1] >= '0' && ourText[i + 1] <= '9')
            pugiText.push_back('n');
    }
    size_t oursTotal = 0, pugiTotal = 0;
    const double loadOurs = BestMs([&] { oursTotal = LoadMarkup(doc, ourText); });
    const double loadPugi = BestMs([&] { pugiTotal = LoadPugi(pdoc, pugiText); });
    const double parseOurs = BestMs([&] { g_sink += doc.AssignText(ourText); });
    const double parsePugi = BestMs([&] { g_sink += static_cast<bool>(pdoc.load_buffer(pugiText.data(), pugiText.size())); });
    g_sink += oursTotal + pugiTotal;
    if (oursTotal != pugiTotal || oursTotal == 0) {
        std::fprintf(stderr, "the two loaders read different values: %zu and %zu bytes\n", oursTotal, pugiTotal);
        return 1;
    }

    std::printf("code group file: %d groups x %d items, %zu bytes (%s)\n", kGroups, kItemsPerGroup,
                ourText.size(), dir.c_str());
    std::printf("best of %d runs each\n", kRuns);
    Report("load", loadOurs, loadPugi);
    Report(" parse", parseOurs, parsePugi);
    Report("save", saveOurs, savePugi);
    Report(" build", buildOurs, buildPugi);
    Report(" write", writeOurs, writePugi);
    std::printf("(MarkupDoc's save writes a temporary file, flushes it to disk and renames it over the "
                "target; pugixml writes the target in place)\n");
    if (argc <= 1) {
        std::remove(ourFile.c_str());
        std::remove(pugiFile.c_str());
        ::rmdir(dir.c_str());
    }
    return 0;
}
