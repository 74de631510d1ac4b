#include "mp4/box.h"

#include "base/bytes.h"

namespace tv {
namespace {
constexpr int kMaxDepth = 12;
}

std::optional<RawBoxHeader> peekBoxHeader(const ByteSource& src, int64_t offset) {
    uint8_t h[8];
    if (!src.readExact(offset, h, 8)) return std::nullopt;
    return RawBoxHeader{be32(h), be32(h + 4)};
}

std::optional<BoxHeader> readBoxHeader(const ByteSource& src, int64_t offset, int64_t limit,
                                       std::string* why) {
    auto fail = [&](const std::string& reason) -> std::optional<BoxHeader> {
        if (why) *why = reason + " at offset " + std::to_string(offset);
        return std::nullopt;
    };
    if (limit > src.size()) limit = src.size();
    if (offset < 0 || limit - offset < 8) return fail("truncated box header");
    const auto raw = peekBoxHeader(src, offset);
    if (!raw) return fail("unreadable box header");
    BoxHeader b;
    b.offset = offset;
    b.type = raw->type;
    uint64_t size = raw->size32;
    b.headerSize = 8;
    uint8_t h[16];
    if (size == 1) {
        if (limit - offset < 16 || !src.readExact(offset + 8, h + 8, 8))
            return fail("truncated 64-bit box size");
        size = be64(h + 8);
        b.headerSize = 16;
    } else if (size == 0) {
        size = static_cast<uint64_t>(limit - offset);
    }
    if (size < static_cast<uint64_t>(b.headerSize))
        return fail("box '" + fourccText(b.type) + "' smaller than its header");
    if (size > static_cast<uint64_t>(limit - offset))
        return fail("box '" + fourccText(b.type) + "' larger than its container");
    b.size = static_cast<int64_t>(size);
    return b;
}

const Box* Box::child(uint32_t t) const {
    for (const auto& c : children)
        if (c.type() == t) return &c;
    return nullptr;
}

std::vector<const Box*> Box::all(uint32_t t) const {
    std::vector<const Box*> out;
    for (const auto& c : children)
        if (c.type() == t) out.push_back(&c);
    return out;
}

const Box* Box::path(std::initializer_list<uint32_t> types) const {
    const Box* b = this;
    for (uint32_t t : types) {
        b = b->child(t);
        if (!b) return nullptr;
    }
    return b;
}

bool isContainerBox(uint32_t type) {
    switch (type) {
    case fourcc("moov"): case fourcc("trak"): case fourcc("mdia"): case fourcc("minf"):
    case fourcc("stbl"): case fourcc("edts"): case fourcc("dinf"): case fourcc("mvex"):
    case fourcc("tref"):
        return true;
    default:
        return false;
    }
}

std::optional<std::vector<Box>> parseBoxes(const ByteSource& src, int64_t begin, int64_t end,
                                           std::string* why, int depth) {
    if (depth > kMaxDepth) {
        if (why) *why = "boxes nested too deeply at offset " + std::to_string(begin);
        return std::nullopt;
    }
    std::vector<Box> out;
    int64_t pos = begin;
    while (end - pos >= 8) {
        auto h = readBoxHeader(src, pos, end, why);
        if (!h) return std::nullopt;
        Box box;
        box.header = *h;
        if (isContainerBox(h->type)) {
            auto kids = parseBoxes(src, h->payloadOffset(), h->end(), why, depth + 1);
            if (!kids) return std::nullopt;
            box.children = std::move(*kids);
        }
        out.push_back(std::move(box));
        pos = h->end();  // whatever happened inside, continue after this box
    }
    return out;
}

}  // namespace tv
