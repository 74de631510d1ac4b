// The text of a four-character media subtype code.
#pragma once

#include <cstdint>
#include <string>

// The code's four bytes, most significant first, each read as the Latin-1
// character of that value (so bytes of 0x80 and above take two bytes in the
// UTF-8 result), with tab, space and no-break space trimmed at both ends only.
// Other control characters, NUL included, stay.
std::string codecText(uint32_t code);
