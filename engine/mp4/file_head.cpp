#include "mp4/file_head.h"

#include "base/bytes.h"

namespace tv {

std::vector<uint8_t> defaultFtyp() {
    std::vector<uint8_t> f;
    putBe32(f, 24);
    putBe32(f, fourcc("ftyp"));
    putBe32(f, fourcc("isom"));
    putBe32(f, 0x200);
    putBe32(f, fourcc("isom"));
    putBe32(f, fourcc("mp41"));
    return f;
}

}  // namespace tv
