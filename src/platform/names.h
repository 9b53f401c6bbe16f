// File names as the system takes them, for the platform's own files: the rest of the program
// passes names as byte strings.
#pragma once

#include <filesystem>
#include <string>

namespace platform {

#ifdef _WIN32
// File names are byte strings in the rest of the program: UTF-8 (what the console edition and the
// file dialogs hand over), or, when the bytes are not valid UTF-8, the ANSI code page that the
// Windows "A" functions and old kestrix.ini files use. Never throws.
std::wstring widen(const char* s);
#endif
// A name as a path of the system's own, and back.
std::filesystem::path to_path(const std::string& s);
std::string from_path(const std::filesystem::path& p);

} // namespace platform
