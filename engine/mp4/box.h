// ISO base media box headers and box trees, with every size checked against
// the bytes that contain it. Nothing here allocates what a header claims:
// trees are built from bytes already in memory, and table readers cap entry
// counts by the box's own payload.
//
// Errors: functions return std::nullopt (or false) and put a plain reason in
// *why; they never throw and never read outside the given bytes.
#pragma once

#include "base/byte_source.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tv {

struct BoxHeader {
    uint32_t type = 0;
    int64_t offset = 0;    // of the first header byte
    int64_t size = 0;      // whole box, header included
    int headerSize = 0;    // 8 or 16 (uuid boxes count their user type as payload)
    int64_t payloadOffset() const { return offset + headerSize; }
    int64_t end() const { return offset + size; }
};

// The type and the 32-bit size field of the 8-byte header at offset, as they
// stand, not checked against any container: for the headers of an
// unfinished file, whose sizes may be stale or placeholders. Absent when the
// 8 bytes cannot be read.
struct RawBoxHeader {
    uint32_t size32 = 0;
    uint32_t type = 0;
};
std::optional<RawBoxHeader> peekBoxHeader(const ByteSource& src, int64_t offset);

// Reads the header at offset of a box that must end by limit. A size of 0
// means "to limit"; a size of 1 means a 64-bit size follows.
std::optional<BoxHeader> readBoxHeader(const ByteSource& src, int64_t offset, int64_t limit,
                                       std::string* why);

struct Box {
    BoxHeader header;
    std::vector<Box> children;  // filled for container boxes only

    uint32_t type() const { return header.type; }
    const Box* child(uint32_t type) const;
    std::vector<const Box*> all(uint32_t type) const;
    // Follows a path of child types, e.g. {mdia, minf, stbl}.
    const Box* path(std::initializer_list<uint32_t> types) const;
};

// True for the boxes whose payload is a plain list of boxes.
bool isContainerBox(uint32_t type);

// Parses the boxes laid end to end in [begin, end) of src, descending into
// containers. Fewer than 8 trailing bytes are tolerated as padding.
std::optional<std::vector<Box>> parseBoxes(const ByteSource& src, int64_t begin, int64_t end,
                                           std::string* why, int depth = 0);

}  // namespace tv
