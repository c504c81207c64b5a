// printf-style formatting into a std::string, for the tools' report lines.
#pragma once

#include <string>

// The text that std::printf would print, cut at 511 characters.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
