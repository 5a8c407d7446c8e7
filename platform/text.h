// Conversion between the system's 8-bit text (Windows-1252, used byte for byte on every
// wire and in every record) and UTF-8 (what people read and write on Linux: log files,
// the console, INI files, folder names).
#pragma once

#include <string>
#include <string_view>

namespace platform::text {

// Every byte maps to one character; the five bytes Windows-1252 leaves undefined map to
// the C1 control of the same number, as Windows does, so nothing is ever lost.
std::string AnsiToUtf8(std::string_view ansi);

// Characters Windows-1252 lacks become '?'. Malformed UTF-8 bytes become '?' too.
std::string Utf8ToAnsi(std::string_view utf8);

bool IsValidUtf8(std::string_view bytes);

// For text read from a file a person wrote: valid UTF-8 is taken as UTF-8, anything else
// as Windows-1252 already.
std::string FileTextToAnsi(std::string_view bytes);

// For a line that may mix internal text with file-system paths (the log): a line that is
// already valid UTF-8 stays as it is, anything else is taken as Windows-1252.
std::string ToDisplayUtf8(std::string_view bytes);

// Case folding of Windows-1252 text, Swedish letters included (used where names are
// compared without regard to case).
char ToUpperAnsi(char c);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string UpperAnsi(std::string_view s);

}  // namespace platform::text
