#include "media/track_handlers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "engine/mp4/box.h"
#include "engine/base/bytes.h"

namespace {

struct Box {
    uint32_t type = 0;
    int64_t payload = 0;  // offset of the first byte after the header
    int64_t end = 0;      // offset just past the box
};

// Reads n bytes at offset; a read the system refuses counts as missing bytes.
bool readAt(const tv::ByteSource& src, int64_t offset, unsigned char* buf, size_t n) {
    try {
        return src.readExact(offset, buf, n);
    } catch (const std::exception&) {
        return false;
    }
}

// The box starting at `at` inside a parent that ends at `limit`; absent when
// its header is unreadable or its size does not fit the parent.
std::optional<Box> boxAt(const tv::ByteSource& src, int64_t at, int64_t limit) {
    std::optional<tv::BoxHeader> header;
    try {
        header = tv::readBoxHeader(src, at, limit, nullptr);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!header) return std::nullopt;
    return Box{header->type, header->payloadOffset(), header->end()};
}

// The first child of the given type, searched among the children in [from, to).
std::optional<Box> findChild(const tv::ByteSource& src, int64_t from, int64_t to, uint32_t type) {
    for (int64_t at = from; at < to;) {
        const auto box = boxAt(src, at, to);
        if (!box) return std::nullopt;
        if (box->type == type) return box;
        at = box->end;
    }
    return std::nullopt;
}

std::optional<uint32_t> trackId(const tv::ByteSource& src, const Box& trak) {
    const auto tkhd = findChild(src, trak.payload, trak.end, fourCC('t', 'k', 'h', 'd'));
    unsigned char b[24];
    if (!tkhd || tkhd->end - tkhd->payload < 24 || !readAt(src, tkhd->payload, b, 24)) return std::nullopt;
    // Version 1 has 64-bit creation and modification times before the id.
    return b[0] == 1 ? tv::be32(b + 20) : tv::be32(b + 12);
}

std::optional<uint32_t> handlerType(const tv::ByteSource& src, const Box& trak) {
    const auto mdia = findChild(src, trak.payload, trak.end, fourCC('m', 'd', 'i', 'a'));
    if (!mdia) return std::nullopt;
    const auto hdlr = findChild(src, mdia->payload, mdia->end, fourCC('h', 'd', 'l', 'r'));
    unsigned char b[12];
    if (!hdlr || hdlr->end - hdlr->payload < 12 || !readAt(src, hdlr->payload, b, 12)) return std::nullopt;
    return tv::be32(b + 8);  // after version, flags and pre_defined
}

}  // namespace

std::map<uint32_t, uint32_t> trackHandlers(const std::string& path) {
    std::map<uint32_t, uint32_t> handlers;
    tv::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return handlers;
    // Read through the engine's box reader, so both sides agree on what a box is.
    const tv::FileSource src(std::move(file), st.st_size, path);
    const auto moov = findChild(src, 0, st.st_size, fourCC('m', 'o', 'o', 'v'));
    if (!moov) return handlers;
    for (int64_t at = moov->payload; at < moov->end;) {
        const auto box = boxAt(src, at, moov->end);
        if (!box) break;
        if (box->type == fourCC('t', 'r', 'a', 'k')) {
            const auto id = trackId(src, *box);
            const auto handler = handlerType(src, *box);
            if (id && handler) handlers[*id] = *handler;
        }
        at = box->end;
    }
    return handlers;
}
