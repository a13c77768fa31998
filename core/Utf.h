// UTF-8 and UTF-16: the program's texts are UTF-8; the status pane counts UTF-16 units and the
// log file is UTF-16LE. And any bytes as a JSON string.
#pragma once

#include <string>

// UTF-8 to UTF-16 code units; invalid sequences become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
// UTF-16 code units to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);
// Any bytes (a path, text from another process) as a JSON string literal: what is not UTF-8
// becomes U+FFFD, so the JSON stays valid.
std::string JsonString(const std::string& raw);
