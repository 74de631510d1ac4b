#include "media/track_handlers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "engine/unique_fd.h"

namespace {

struct Box {
    uint32_t type = 0;
    int64_t payload = 0;  // offset of the first byte after the header
    int64_t end = 0;      // offset just past the box
};

uint32_t be32(const unsigned char* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

bool readAt(int fd, int64_t offset, unsigned char* buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, buf + done, n - done, offset + static_cast<int64_t>(done));
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// The box starting at `at` inside a parent that ends at `limit`; absent when
// its header is unreadable or its size does not fit the parent.
std::optional<Box> boxAt(int fd, int64_t at, int64_t limit) {
    unsigned char h[16];
    if (limit - at < 8 || !readAt(fd, at, h, 8)) return std::nullopt;
    uint64_t size = be32(h);
    Box box;
    box.type = be32(h + 4);
    box.payload = at + 8;
    if (size == 1) {
        if (limit - at < 16 || !readAt(fd, at + 8, h + 8, 8)) return std::nullopt;
        size = uint64_t(be32(h + 8)) << 32 | be32(h + 12);
        box.payload = at + 16;
    } else if (size == 0) {
        size = static_cast<uint64_t>(limit - at);  // runs to the end of its parent
    }
    if (size < static_cast<uint64_t>(box.payload - at) || size > static_cast<uint64_t>(limit - at)) return std::nullopt;
    box.end = at + static_cast<int64_t>(size);
    return box;
}

// The first child of the given type, searched among the children in [from, to).
std::optional<Box> findChild(int fd, int64_t from, int64_t to, uint32_t type) {
    for (int64_t at = from; at < to;) {
        const auto box = boxAt(fd, at, to);
        if (!box) return std::nullopt;
        if (box->type == type) return box;
        at = box->end;
    }
    return std::nullopt;
}

std::optional<uint32_t> trackId(int fd, const Box& trak) {
    const auto tkhd = findChild(fd, trak.payload, trak.end, fourCC('t', 'k', 'h', 'd'));
    unsigned char b[24];
    if (!tkhd || tkhd->end - tkhd->payload < 24 || !readAt(fd, tkhd->payload, b, 24)) return std::nullopt;
    // Version 1 has 64-bit creation and modification times before the id.
    return b[0] == 1 ? be32(b + 20) : be32(b + 12);
}

std::optional<uint32_t> handlerType(int fd, const Box& trak) {
    const auto mdia = findChild(fd, trak.payload, trak.end, fourCC('m', 'd', 'i', 'a'));
    if (!mdia) return std::nullopt;
    const auto hdlr = findChild(fd, mdia->payload, mdia->end, fourCC('h', 'd', 'l', 'r'));
    unsigned char b[12];
    if (!hdlr || hdlr->end - hdlr->payload < 12 || !readAt(fd, hdlr->payload, b, 12)) return std::nullopt;
    return be32(b + 8);  // after version, flags and pre_defined
}

}  // namespace

std::map<uint32_t, uint32_t> trackHandlers(const std::string& path) {
    std::map<uint32_t, uint32_t> handlers;
    tv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return handlers;
    const auto moov = findChild(fd.get(), 0, st.st_size, fourCC('m', 'o', 'o', 'v'));
    if (!moov) return handlers;
    for (int64_t at = moov->payload; at < moov->end;) {
        const auto box = boxAt(fd.get(), at, moov->end);
        if (!box) break;
        if (box->type == fourCC('t', 'r', 'a', 'k')) {
            const auto id = trackId(fd.get(), *box);
            const auto handler = handlerType(fd.get(), *box);
            if (id && handler) handlers[*id] = *handler;
        }
        at = box->end;
    }
    return handlers;
}
