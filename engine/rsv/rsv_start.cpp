#include "rsv/rsv_start.h"

#include "mp4/box.h"
#include "base/bytes.h"
#include "base/errors.h"

namespace tv {
namespace {

// How far into the file the first group is looked for when neither offset 0
// nor a header points at it.
constexpr int64_t kSearchWindow = 64LL << 20;

bool knownHeaderBox(uint32_t type) {
    switch (type) {
    case fourcc("ftyp"): case fourcc("uuid"): case fourcc("free"): case fourcc("skip"):
    case fourcc("wide"): case fourcc("pdin"): case fourcc("mdat"):
        return true;
    default:
        return false;
    }
}

}  // namespace

std::optional<int64_t> mediaAfterHeader(const ByteSource& rsv) {
    int64_t pos = 0;
    for (int i = 0; i < 64; ++i) {
        const auto h = peekBoxHeader(rsv, pos);
        if (!h) return std::nullopt;
        const uint32_t type = h->type;
        if (!knownHeaderBox(type)) return std::nullopt;
        const uint64_t size = h->size32;
        // The mdat of an unfinished file carries 0, 1 with a placeholder, or a
        // stale size: only its header length matters.
        if (type == fourcc("mdat")) return pos + (size == 1 ? 16 : 8);
        if (size < 8 || size > uint64_t(rsv.size() - pos)) return std::nullopt;
        pos += int64_t(size);
    }
    return std::nullopt;
}

int64_t locateMediaData(const ByteSource& rsv, const GroupWalker& walker, const WalkClock& clock,
                        Reporter& rep) {
    if (rsv.size() == 0)
        throw EngineError(EngineError::Kind::Input, "the RSV file is empty (0 bytes): nothing to recover");
    uint8_t key[4] = {};
    if (rsv.readExact(0, key, 4) && key[0] == 0x06 && key[1] == 0x0E && key[2] == 0x2B && key[3] == 0x34)
        throw EngineError(EngineError::Kind::Input,
                          "this is an MXF-style RSV (professional camera); this kind is not supported yet");
    if (walker.rtmdAt(0)) return 0;
    if (auto data = mediaAfterHeader(rsv)) {
        if (walker.rtmdAt(*data)) {
            rep.info("the RSV starts with a file header; media data begins at offset " +
                     std::to_string(*data));
            return *data;
        }
        if (auto found = walker.findGroupStart(*data, *data + kSearchWindow, clock)) {
            rep.info("media data begins at offset " + std::to_string(*found) + " after a file header");
            return *found;
        }
    }
    if (auto found = walker.findGroupStart(0, kSearchWindow, clock)) {
        rep.info("skipped " + std::to_string(*found) + " bytes before the first group");
        return *found;
    }
    throw EngineError(EngineError::Kind::Input,
                      "no recording data matching the reference was found in the RSV "
                      "(the reference must come from the same camera with the same settings)");
}

}  // namespace tv
