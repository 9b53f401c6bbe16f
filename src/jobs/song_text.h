// Texts from Buzz songs: machine, pattern and wave names and the song's info text are
// Windows-1252 (the ANSI code page of the Windows Buzz runs on); the console edition shows them,
// and writes its JSON, as UTF-8 (the dialog shows them as they are).
#pragma once

#include <string>
#include <string_view>

// The Windows-1252 text as UTF-8. The five bytes the code page leaves undefined become the C1
// control characters of the same number, as Windows converts them.
std::string utf8_from_windows1252(std::string_view text);
// Valid UTF-8 as it is; every byte that is not part of a valid sequence becomes U+FFFD (a file
// name given as bytes in another encoding).
std::string valid_utf8(std::string_view text);
// A JSON string (quotes included) of UTF-8 text: quote, backslash and the control characters
// (U+0000..U+001F, U+007F..U+009F) escaped.
std::string json_string(std::string_view utf8);
// Characters (not bytes) in a UTF-8 text, for columns.
size_t utf8_length(std::string_view utf8);
