#include "server/net/source_protocol.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/text.h"

namespace heraldon::net {

bool SourceFieldReader::Next(std::string_view& field) {
    if (at_ >= end_) return false;
    const char* zero = static_cast<const char*>(std::memchr(at_, '\0', static_cast<size_t>(end_ - at_)));
    const char* stop = zero != nullptr ? zero : end_;
    field = std::string_view(at_, static_cast<size_t>(stop - at_));
    at_ = zero != nullptr ? zero + 1 : end_;
    return true;
}

bool ParseSourceNumber(std::string_view text, uint32_t& bits, bool isSigned) {
    if (text.empty() || platform::text::EqualsNoCase(text, "null")) return false;
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    // 64 bits hold any run of digits once clamped at the first value beyond 32 bits.
    constexpr int64_t kCap = int64_t{1} << 33;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min(kCap, magnitude * 10 + (text[i] - '0'));
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (isSigned) {
        value = std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                    std::numeric_limits<int32_t>::max());
        bits = static_cast<uint32_t>(static_cast<int32_t>(value));
    } else {
        // A negative text gives its two's complement, as sources have always relied on.
        value = std::clamp<int64_t>(value, -int64_t{0x80000000}, 0xFFFFFFFF);
        bits = static_cast<uint32_t>(value);
    }
    return true;
}

void SourceFieldReader::Signed(int32_t& value) {
    std::string_view field;
    uint32_t bits;
    if (Next(field) && ParseSourceNumber(field, bits, true)) value = static_cast<int32_t>(bits);
}

void SourceFieldReader::Unsigned(uint32_t& value) {
    std::string_view field;
    uint32_t bits;
    if (Next(field) && ParseSourceNumber(field, bits, false)) value = bits;
}

void SourceFieldReader::Low32(int64_t& value) {
    std::string_view field;
    uint32_t bits;
    if (Next(field) && ParseSourceNumber(field, bits, false)) {
        value = static_cast<int64_t>((static_cast<uint64_t>(value) & 0xFFFFFFFF00000000ull) | bits);
    }
}

void SourceFieldReader::Text(char* target, size_t targetSize) {
    std::string_view field;
    if (!Next(field) || field.empty()) return;
    if (platform::text::EqualsNoCase(field, "null")) field = {};
    size_t n = std::min(field.size(), targetSize - 1);
    if (n > 0) std::memcpy(target, field.data(), n);
    std::memset(target + n, 0, targetSize - n);
}

void SourceFieldReader::Text(std::string& target, size_t maxChars) {
    std::string_view field;
    if (!Next(field) || field.empty()) return;
    if (platform::text::EqualsNoCase(field, "null")) field = {};
    target.assign(field.substr(0, maxChars));
}

SourcePacketBuilder& SourcePacketBuilder::Text(std::string_view text, size_t reserveAfter) {
    text = text.substr(0, text.find('\0'));
    if (payload_.size() + reserveAfter >= kSourceCommandLimit) return *this;
    size_t room = kSourceCommandLimit - payload_.size() - reserveAfter - 1;
    payload_.append(text.substr(0, room));
    payload_.push_back('\0');
    return *this;
}

SourcePacketBuilder& SourcePacketBuilder::Unsigned(uint32_t value) {
    return Text(std::to_string(value));
}

SourcePacketBuilder& SourcePacketBuilder::Signed(int32_t value) {
    return Text(std::to_string(value));
}

}  // namespace heraldon::net
