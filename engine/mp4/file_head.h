// The head of a written movie file that a reference does not provide.
//
// Thread: any. Errors: none.
#pragma once

#include <cstdint>
#include <vector>

namespace tv {

// A plain ftyp for references that lack one.
std::vector<uint8_t> defaultFtyp();

}  // namespace tv
