// The text feed's line template (TesselFormat): every token, unknown and unclosed ones,
// applied to an alarm object whose every field, times included, may hold anything a file
// or a source could have put there.
//
// Input: one byte for the event type (taken as a signed byte), the template up to the
// next zero byte, then the bytes of the object's record (alarm_object_format.h; missing
// bytes are zero).
//
// Checked: a template without any '[' comes out unchanged.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "server/net/text_feed.h"
#include "server/store/alarm_object.h"
#include "server/store/alarm_object_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace heraldon;
    if (size < 1) return 0;
    int32_t eventType = static_cast<int8_t>(data[0]);
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t zero = rest.find('\0');
    std::string format(rest.substr(0, zero));
    std::string_view fields = zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);

    uint8_t record[alarm_file::kRecordSize] = {};
    if (!fields.empty()) std::memcpy(record, fields.data(), std::min(fields.size(), sizeof record));
    AlarmObject object;
    object.DecodeFrom(record);

    std::string line = FormatTextEvent(object, format, eventType);
    if (format.find('[') == std::string::npos && line != format) {
        std::fprintf(stderr, "feed_template: a template without tokens came out changed\n");
        std::abort();
    }
    return 0;
}
