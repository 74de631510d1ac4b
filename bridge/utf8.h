// Strict UTF-8, the only text the page channel can carry: no overlong forms,
// no surrogates, nothing above U+10FFFF. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Length of the sequence a lead byte announces; 0 for a byte that cannot
// begin one.
size_t utf8SequenceLength(unsigned char lead);

// The `len` bytes at p (1 <= len <= utf8SequenceLength(p[0])) are a whole
// well-formed sequence or the well-formed start of one.
bool utf8WellFormedStart(const unsigned char* p, size_t len);

bool isValidUtf8(std::string_view s);

// A file path as text the page can carry and send back unchanged. Valid
// UTF-8 passes as it is (unless it holds U+F780..U+F7FF, which is escaped
// too); every byte of anything else becomes U+F700 + the byte, a private-use
// character, so the path's bytes are never lost. pathBytes undoes it.
std::string pathText(std::string_view bytes);
std::string pathBytes(std::string_view text);
// The path as a person reads it: each byte that is no UTF-8 shown as U+FFFD.
std::string readablePath(std::string_view bytes);
