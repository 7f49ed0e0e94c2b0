// The response head as curl hands it over, line by line, and the field
// values a download reads from it: all of it comes from the server.

#include "platform/http_response_head.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    HttpResponseHeadReader reader;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = end == std::string_view::npos ? text : text.substr(0, end + 1);
        text.remove_prefix(line.size());
        reader.addLine(line);
        (void)schemeOf(reader.location());
    }
    const long status = reader.statusCode();
    if (status < 0 || status > 999)
        __builtin_trap();
    for (const auto& [name, value] : reader.fields()) {
        if (findHeaderField(reader.fields(), name) == nullptr)
            __builtin_trap();
        const auto range = parseContentRange(value);
        if (range && range->completeLength && range->first >= *range->completeLength)
            __builtin_trap();
        (void)retryAfterDelay(value, 1700000000);
        if (etagsMatchStrongly(value, value) && isWeakETag(value))
            __builtin_trap();
        if (!etagsMatchWeakly(value, value))
            __builtin_trap();
        (void)opaqueTag(value);
    }
    return 0;
}
