#include "platform/text.h"

#include <array>
#include <cstdint>

namespace platform::text {

namespace {

// What 0x80..0x9F mean in Windows-1252. The five bytes the code page leaves undefined map
// to the C1 control of the same number, as Windows does, so every byte survives a round
// trip through UTF-8.
constexpr char32_t kHighHalf[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

constexpr char32_t CodePointOf(uint8_t b) {
    return b >= 0x80 && b < 0xA0 ? kHighHalf[b - 0x80] : b;
}

struct Encoded {
    char bytes[3];
    uint8_t size;
};

// Every byte's UTF-8 form, computed once at compile time so the conversion is a lookup.
constexpr std::array<Encoded, 256> MakeEncodeTable() {
    std::array<Encoded, 256> table{};
    for (int b = 0; b < 256; ++b) {
        char32_t cp = CodePointOf(static_cast<uint8_t>(b));
        Encoded& e = table[b];
        if (cp < 0x80) {
            e.size = 1;
            e.bytes[0] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            e.size = 2;
            e.bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
            e.bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            e.size = 3;
            e.bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
            e.bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            e.bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return table;
}
constexpr std::array<Encoded, 256> kEncode = MakeEncodeTable();

// The byte for a code point, or -1 when Windows-1252 has no such character.
int AnsiOf(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    for (int i = 0; i < 32; ++i) {
        if (kHighHalf[i] == cp) return 0x80 + i;
    }
    return -1;
}

constexpr char32_t kMalformed = 0xFFFFFFFF;

// Decodes the character starting at s[i] under the strict rules (no overlong forms, no
// surrogates, nothing above U+10FFFF). Returns how many bytes it took. A malformed
// sequence yields kMalformed and the length of its longest valid beginning (at least one
// byte), so each broken piece is replaced once and decoding resumes at the byte that broke
// it, the way Unicode recommends for replacement characters.
size_t DecodeOne(std::string_view s, size_t i, char32_t& cp) {
    uint8_t lead = static_cast<uint8_t>(s[i]);
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;  // below is overlong
        if (lead == 0xED) hi = 0x9F;  // above is a surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;  // below is overlong
        if (lead == 0xF4) hi = 0x8F;  // above is beyond U+10FFFF
    } else {
        cp = kMalformed;
        return 1;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            cp = kMalformed;
            return k;
        }
        uint8_t b = static_cast<uint8_t>(s[i + k]);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
            cp = kMalformed;
            return k;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return need + 1;
}

constexpr std::array<char, 256> MakeUpperTable() {
    std::array<char, 256> table{};
    for (int b = 0; b < 256; ++b) {
        int upper = b;
        if (b >= 'a' && b <= 'z') upper = b - 0x20;
        if (b >= 0xE0 && b <= 0xFE && b != 0xF7) upper = b - 0x20;  // ÷ has no capital
        if (b == 0x9A || b == 0x9C || b == 0x9E) upper = b - 0x10;  // š œ ž
        if (b == 0xFF) upper = 0x9F;                                // ÿ
        table[b] = static_cast<char>(upper);
    }
    return table;
}
// Table-driven rather than toupper(): the result must not depend on the C locale, and
// names are compared this way on every tag lookup.
constexpr std::array<char, 256> kUpper = MakeUpperTable();

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size() + ansi.size() / 8);
    for (char c : ansi) {
        uint8_t b = static_cast<uint8_t>(c);
        if (b < 0x80) {
            out.push_back(c);
        } else {
            out.append(kEncode[b].bytes, kEncode[b].size);
        }
    }
    return out;
}

std::string Utf8ToAnsi(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        if (static_cast<uint8_t>(utf8[i]) < 0x80) {
            out.push_back(utf8[i++]);
            continue;
        }
        char32_t cp;
        i += DecodeOne(utf8, i, cp);
        int b = cp == kMalformed ? -1 : AnsiOf(cp);
        out.push_back(b < 0 ? '?' : static_cast<char>(b));
    }
    return out;
}

bool IsValidUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        if (static_cast<uint8_t>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t cp;
        i += DecodeOne(bytes, i, cp);
        if (cp == kMalformed) return false;
    }
    return true;
}

std::string FileTextToAnsi(std::string_view bytes) {
    return IsValidUtf8(bytes) ? Utf8ToAnsi(bytes) : std::string(bytes);
}

std::string ToDisplayUtf8(std::string_view bytes) {
    return IsValidUtf8(bytes) ? std::string(bytes) : AnsiToUtf8(bytes);
}

char ToUpperAnsi(char c) {
    return kUpper[static_cast<uint8_t>(c)];
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (kUpper[static_cast<uint8_t>(a[i])] != kUpper[static_cast<uint8_t>(b[i])]) {
            return false;
        }
    }
    return true;
}

std::string UpperAnsi(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = kUpper[static_cast<uint8_t>(c)];
    return out;
}

}  // namespace platform::text
