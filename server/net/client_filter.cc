// The tag and area filters a client sends with its alarm list request.

#include <cstdio>

#include "platform/text.h"
#include "server/net/client_connection.h"

namespace heraldon {

namespace {

constexpr size_t kMaxToken = 255;

// Calls visit for each token of a comma-separated list until it returns true; an empty
// token ends the list.
template <typename Visit>
bool AnyToken(std::string_view list, Visit visit) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view token = list.substr(0, comma);
        if (token.empty()) return false;
        if (visit(token.substr(0, kMaxToken))) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool StartsWithNoCase(std::string_view text, std::string_view start) {
    return text.size() >= start.size() &&
           platform::text::EqualsNoCase(text.substr(0, start.size()), start);
}

// Tokens are written as clients show tags, with the source's tag prefix, while objects
// keep their tags without it. A token longer than the prefix is compared, past the
// prefix, with the beginning of the tag; a token as long as the prefix matches every tag
// of the source; a shorter token matches when the prefix begins with it (the shown tags
// then all do).
bool TagMatches(std::string_view prefix, std::string_view tag, std::string_view token) {
    if (token.size() > prefix.size()) return StartsWithNoCase(tag, token.substr(prefix.size()));
    if (token.size() == prefix.size()) return true;
    return StartsWithNoCase(prefix, token);
}

bool AreaMatches(int32_t area, std::string_view token) {
    std::string text(token);
    int low = 0, high = 0;
    int n = std::sscanf(text.c_str(), "%d-%d", &low, &high);
    if (n == 2) return low <= area && area <= high;
    return n == 1 && area == low;
}

}  // namespace

bool MatchesFilter(const AlarmSource& source, std::string_view tagFilter,
                   std::string_view areaFilter, std::string_view tag, int32_t area) {
    if (!tagFilter.empty() &&
        !AnyToken(tagFilter, [&](std::string_view t) { return TagMatches(source.tagPrefix, tag, t); })) {
        return false;
    }
    return areaFilter.empty() ||
           AnyToken(areaFilter, [&](std::string_view t) { return AreaMatches(area, t); });
}

}  // namespace heraldon
