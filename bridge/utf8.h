// Strict UTF-8, the only text the page channel can carry: no overlong forms,
// no surrogates, nothing above U+10FFFF. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string_view>

// Length of the sequence a lead byte announces; 0 for a byte that cannot
// begin one.
size_t utf8SequenceLength(unsigned char lead);

// The `len` bytes at p (1 <= len <= utf8SequenceLength(p[0])) are a whole
// well-formed sequence or the well-formed start of one.
bool utf8WellFormedStart(const unsigned char* p, size_t len);

bool isValidUtf8(std::string_view s);
