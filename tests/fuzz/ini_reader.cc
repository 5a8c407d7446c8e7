// The INI files of the server and its clients: reading sections, keys and values from
// whatever a person or a program left in the file, and writing a value or deleting a key
// so that every other line stays as it was.
//
// Input: the file; after its last zero byte, if it has one, the value to write (line
// breaks taken out). The value goes to the first key of the first section, or to a new
// key or section when there is none.
//
// Checked: a value written reads back exactly; writing it changes no other value that
// could be read before; after deleting the key, the other values still read the same.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ini.h"
#include "platform/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace ini = platform::ini;

std::string g_folder;

void RemoveFolder() { fuzzing::RemoveTree(g_folder); }

[[noreturn]] void Fail(const char* what, const std::string& section, const std::string& key) {
    std::fprintf(stderr, "ini_reader: %s ([%s] %s)\n", what, section.c_str(), key.c_str());
    std::abort();
}

constexpr size_t kMaxNames = 6;
const std::string kMissing = "\x01missing";

using Values = std::vector<std::pair<std::pair<std::string, std::string>, std::string>>;

// The value of every key of the first few sections, as a reader sees it.
Values ReadAll(const std::string& path) {
    Values values;
    std::vector<std::string> sections = ini::SectionNames(path);
    for (size_t s = 0; s < sections.size() && s < kMaxNames; ++s) {
        std::vector<std::string> keys = ini::KeyNames(path, sections[s]);
        for (size_t k = 0; k < keys.size() && k < kMaxNames; ++k) {
            std::string value = ini::ReadString(path, sections[s], keys[k], kMissing);
            ini::ReadInt(path, sections[s], keys[k], -7);
            values.push_back({{sections[s], keys[k]}, value});
        }
    }
    return values;
}

bool Same(const std::pair<std::string, std::string>& place, const std::string& section, const std::string& key) {
    return platform::text::EqualsNoCase(place.first, section) && platform::text::EqualsNoCase(place.second, key);
}

// Every value of before still reads the same, except the one at section/key.
void CheckOthers(const std::string& path, const Values& before, const std::string& section,
                 const std::string& key, const char* after) {
    for (const auto& [place, value] : before) {
        if (Same(place, section, key)) continue;
        if (ini::ReadString(path, place.first, place.second, kMissing) != value) {
            Fail(after, place.first, place.second);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_folder = fuzzing::MakeScratchFolder("ini");
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view file = input;
    std::string value = "written by the fuzzer";
    if (size_t zero = input.rfind('\0'); zero != std::string_view::npos) {
        file = input.substr(0, zero);
        value.clear();
        for (char c : input.substr(zero + 1)) {
            if (c != '\r' && c != '\n') value += c;
        }
    }
    std::string path = g_folder + "fuzz.ini";
    fuzzing::WriteWholeFile(path, file);

    // What the server reads at start-up, from whatever is there.
    ini::ReadString(path, "General", "DataPath", "");
    ini::ReadInt(path, "Redundancy", "ServerType", 0);
    Values before = ReadAll(path);

    std::string section = "Fuzz", key = "Key";
    std::vector<std::string> sections = ini::SectionNames(path);
    if (!sections.empty()) {
        section = sections.front();
        std::vector<std::string> keys = ini::KeyNames(path, section);
        if (!keys.empty()) key = keys.front();
    }
    if (ini::WriteString(path, section, key, value)) {
        if (ini::ReadString(path, section, key, kMissing) != value) Fail("a written value reads back otherwise", section, key);
        CheckOthers(path, before, section, key, "writing a value changed another");
        ini::SectionNames(path);
        ini::KeyNames(path, section);
    }
    if (ini::DeleteKey(path, section, key)) {
        CheckOthers(path, before, section, key, "deleting a key changed another value");
    }
    ini::DeleteSection(path, "General");
    ini::WriteString(path, "General", "DataPath", value);
    return 0;
}
