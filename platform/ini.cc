#include "platform/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace platform::ini {

namespace {

using platform::text::EqualsNoCase;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

enum class Kind { Blank, Comment, Header, Key, Other };

struct Line {
    std::string text;    // the file's own bytes, or ANSI text for a fresh line
    std::string ending;  // "\r\n", "\n", or "" for a last line without one
    Kind kind = Kind::Other;
    std::string name;    // section name for headers, key name for keys
    std::string value;   // keys only: trimmed, quotes stripped
    bool fresh = false;  // written by us: text is ANSI even in a UTF-8 file
};

struct Section {
    size_t header;  // index of the header line
    size_t end;     // one past the section's last line
};

// A file split into lines that can be written back unchanged. Lines keep the file's own
// bytes (so an untouched line is written back exactly as it was) and are parsed from their
// ANSI reading.
struct Document {
    bool utf8 = true;  // whether the file's bytes were valid UTF-8
    std::string bom;
    std::vector<Line> lines;
    std::vector<Section> sections;
};

enum class Load { Ok, Missing, Failed };

std::string_view Trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool IsQuoted(std::string_view s) {
    return s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front();
}

void Classify(std::string_view ansi, Line& line) {
    std::string_view t = Trim(ansi);
    if (t.empty()) {
        line.kind = Kind::Blank;
    } else if (t[0] == ';' || t[0] == '#') {
        line.kind = Kind::Comment;
    } else if (t[0] == '[') {
        // Up to the first ']' so a comment after the header does not become part of the
        // name; a header missing its ']' still starts a section, so the keys under it are
        // not taken for the previous section's.
        size_t close = t.find(']');
        line.kind = Kind::Header;
        line.name = Trim(t.substr(1, close == std::string_view::npos ? close : close - 1));
    } else if (size_t eq = t.find('='); eq != std::string_view::npos && eq > 0) {
        line.kind = Kind::Key;
        line.name = Trim(t.substr(0, eq));
        std::string_view value = Trim(t.substr(eq + 1));
        if (IsQuoted(value)) value = value.substr(1, value.size() - 2);
        line.value = value;
    }
}

Document Parse(std::string_view bytes) {
    Document doc;
    if (bytes.substr(0, kBom.size()) == kBom) {
        doc.bom = kBom;
        bytes.remove_prefix(kBom.size());
    }
    doc.utf8 = platform::text::IsValidUtf8(bytes);
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t nl = bytes.find('\n', pos);
        size_t next = nl == std::string_view::npos ? bytes.size() : nl + 1;
        std::string_view content = bytes.substr(pos, next - pos);
        Line line;
        if (content.ends_with("\r\n")) {
            line.ending = "\r\n";
        } else if (content.ends_with('\n')) {
            line.ending = "\n";
        }
        content.remove_suffix(line.ending.size());
        line.text = content;
        Classify(doc.utf8 ? platform::text::Utf8ToAnsi(content) : line.text, line);
        if (line.kind == Kind::Header) {
            if (!doc.sections.empty()) doc.sections.back().end = doc.lines.size();
            doc.sections.push_back({doc.lines.size(), 0});
        }
        doc.lines.push_back(std::move(line));
        pos = next;
    }
    if (!doc.sections.empty()) doc.sections.back().end = doc.lines.size();
    return doc;
}

Load ReadFile(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Load::Missing : Load::Failed;
    out.clear();
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return Load::Failed;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return Load::Ok;
}

// A file that is missing reads as an empty document; one that exists but cannot be read
// is a failure, so a write never replaces contents it could not see.
Load LoadDocument(const std::string& path, Document& doc) {
    std::string bytes;
    Load result = ReadFile(path, bytes);
    doc = result == Load::Ok ? Parse(bytes) : Document{};
    return result;
}

const Section* FindSection(const Document& doc, std::string_view name) {
    name = Trim(name);
    for (const Section& s : doc.sections) {
        if (EqualsNoCase(doc.lines[s.header].name, name)) return &s;
    }
    return nullptr;
}

std::optional<size_t> FindKey(const Document& doc, const Section& s, std::string_view key) {
    key = Trim(key);
    for (size_t i = s.header + 1; i < s.end; ++i) {
        const Line& line = doc.lines[i];
        if (line.kind == Kind::Key && EqualsNoCase(line.name, key)) return i;
    }
    return std::nullopt;
}

const Line* FindValue(const std::string& path, const std::string& section, const std::string& key,
                      Document& doc) {
    if (LoadDocument(path, doc) != Load::Ok) return nullptr;
    const Section* s = FindSection(doc, section);
    if (s == nullptr) return nullptr;
    std::optional<size_t> i = FindKey(doc, *s, key);
    return i ? &doc.lines[*i] : nullptr;
}

// The ending most lines already use, so added lines match what the author's editor writes.
std::string DominantEnding(const Document& doc) {
    size_t crlf = 0, lf = 0;
    for (const Line& line : doc.lines) {
        if (line.ending == "\r\n") ++crlf;
        if (line.ending == "\n") ++lf;
    }
    return crlf > lf ? "\r\n" : "\n";
}

Line NewLine(std::string text, const std::string& ending) {
    Line line;
    line.text = std::move(text);
    line.ending = ending;
    line.fresh = true;
    return line;
}

// A value the reader would change (surrounding blanks, or quotes it would strip) is
// wrapped in quotes, so what is written reads back the same.
std::string FormatKeyLine(std::string_view key, std::string_view value) {
    bool quote = !value.empty() && (Trim(value).size() != value.size() || IsQuoted(value));
    std::string line(key);
    line += '=';
    if (quote) line += '"';
    line += value;
    if (quote) line += '"';
    return line;
}

// Lines are kept byte for byte; a file that was not UTF-8 has its kept lines converted
// too, so the result is one encoding throughout.
std::string Serialize(const Document& doc) {
    std::string out = doc.bom;
    for (const Line& line : doc.lines) {
        out += line.fresh || !doc.utf8 ? platform::text::AnsiToUtf8(line.text) : line.text;
        out += line.ending;
    }
    return out;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A configuration file reached through a symbolic link is replaced where it really lives;
// renaming over the link itself would silently detach it.
std::string RealTarget(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

// Write beside the original and rename over it: readers and a crash see the old file or
// the new one, never a mix.
bool ReplaceFile(const std::string& requested, const std::string& contents) {
    std::string path = RealTarget(requested);
    std::string temp = path + ".tmp-" + std::to_string(::getpid());
    struct stat st;
    bool existed = ::stat(path.c_str(), &st) == 0;
    // A file someone made read-only is not replaced behind their back, even though the
    // folder would allow the rename.
    if (existed && ::access(path.c_str(), W_OK) != 0) return false;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    // fchmod rather than the open mode, which the umask would narrow.
    bool ok = (!existed || ::fchmod(fd, st.st_mode & 07777) == 0) && WriteAll(fd, contents) &&
              ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; the new file is complete either way.
    int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

// Two threads rewriting the same file would otherwise share the temporary file's name and
// lose each other's change between read and rename.
std::mutex& WriteMutex() {
    static std::mutex m;
    return m;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::string ReadString(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& defaultValue) {
    Document doc;
    const Line* line = FindValue(path, section, key, doc);
    return line ? line->value : defaultValue;
}

int ReadInt(const std::string& path, const std::string& section, const std::string& key,
            int defaultValue) {
    Document doc;
    const Line* line = FindValue(path, section, key, doc);
    if (line == nullptr) return defaultValue;
    std::string_view v = line->value;
    bool negative = false;
    if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
        negative = v[0] == '-';
        v.remove_prefix(1);
    }
    // Accumulate as a magnitude past INT_MAX and clamp, so "99999999999" saturates
    // instead of wrapping.
    long long magnitude = 0;
    for (char c : v) {
        if (c < '0' || c > '9') break;
        magnitude = std::min(magnitude * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    long long result = negative ? -magnitude : magnitude;
    return static_cast<int>(std::clamp<long long>(result, INT_MIN, INT_MAX));
}

std::vector<std::string> SectionNames(const std::string& path) {
    Document doc;
    LoadDocument(path, doc);
    std::vector<std::string> names;
    for (const Section& s : doc.sections) names.push_back(doc.lines[s.header].name);
    return names;
}

std::vector<std::string> KeyNames(const std::string& path, const std::string& section) {
    Document doc;
    LoadDocument(path, doc);
    std::vector<std::string> names;
    const Section* s = FindSection(doc, section);
    if (s == nullptr) return names;
    for (size_t i = s->header + 1; i < s->end; ++i) {
        const Line& line = doc.lines[i];
        // Listed once, as first seen: a later duplicate can never be read anyway.
        if (line.kind == Kind::Key && FindKey(doc, *s, line.name) == i) {
            names.push_back(line.name);
        }
    }
    return names;
}

bool WriteString(const std::string& path, const std::string& section, const std::string& key,
                 const std::string& value) {
    std::string_view sectionName = Trim(section);
    std::string_view keyName = Trim(key);
    // Names and values that cannot be written as one line would corrupt the file's structure.
    if (keyName.empty() || keyName.find('=') != std::string_view::npos ||
        sectionName.find(']') != std::string_view::npos || HasLineBreak(sectionName) ||
        HasLineBreak(keyName) || HasLineBreak(value)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(WriteMutex());
    Document doc;
    if (LoadDocument(path, doc) == Load::Failed) return false;
    std::string ending = DominantEnding(doc);
    std::vector<Line>& lines = doc.lines;

    const Section* s = FindSection(doc, sectionName);
    if (s == nullptr) {
        bool needsGap = !lines.empty() && lines.back().kind != Kind::Blank;
        if (!lines.empty() && lines.back().ending.empty()) lines.back().ending = ending;
        if (needsGap) lines.push_back(NewLine("", ending));
        lines.push_back(NewLine("[" + std::string(sectionName) + "]", ending));
        lines.push_back(NewLine(FormatKeyLine(keyName, value), ending));
    } else if (std::optional<size_t> i = FindKey(doc, *s, keyName)) {
        Line& line = lines[*i];
        line = NewLine(FormatKeyLine(line.name, value), line.ending);
    } else {
        size_t last = s->end - 1;
        while (last > s->header && lines[last].kind == Kind::Blank) --last;
        if (lines[last].ending.empty()) lines[last].ending = ending;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last + 1),
                     NewLine(FormatKeyLine(keyName, value), ending));
    }
    return ReplaceFile(path, Serialize(doc));
}

bool DeleteKey(const std::string& path, const std::string& section, const std::string& key) {
    std::lock_guard<std::mutex> lock(WriteMutex());
    Document doc;
    Load load = LoadDocument(path, doc);
    if (load != Load::Ok) return load == Load::Missing;
    const Section* s = FindSection(doc, section);
    std::optional<size_t> i = s ? FindKey(doc, *s, key) : std::nullopt;
    if (!i) return true;
    doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(*i));
    return ReplaceFile(path, Serialize(doc));
}

bool DeleteSection(const std::string& path, const std::string& section) {
    std::lock_guard<std::mutex> lock(WriteMutex());
    Document doc;
    Load load = LoadDocument(path, doc);
    if (load != Load::Ok) return load == Load::Missing;
    const Section* s = FindSection(doc, section);
    if (s == nullptr) return true;
    doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(s->header),
                    doc.lines.begin() + static_cast<std::ptrdiff_t>(s->end));
    return ReplaceFile(path, Serialize(doc));
}

}  // namespace platform::ini
