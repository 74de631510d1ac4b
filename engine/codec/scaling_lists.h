// H.264 scaling_list() syntax (7.3.2.1.1.1), shared by the SPS and the PPS:
// each list absent or present with its coded delta_scale values, so that a
// set written back is bit for bit the one read.
//
// Thread: any. Errors: std::nullopt on a delta out of range or a short read.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tv {

class BitReader;
class RbspWriter;

struct ScalingLists {
    // Per list (4x4 lists 0-5, then the 8x8 ones): absent, or the coded
    // deltas as they stand in the bitstream (a list may end early on a
    // delta that makes the next value 0: "use the default").
    std::vector<std::optional<std::vector<int32_t>>> lists;

    bool present() const { return !lists.empty(); }
    // Every list present with these values (zig-zag order, each 1..255), coded
    // as the shortest run of deltas that gives them.
    static ScalingLists fromValues(const std::vector<std::vector<uint8_t>>& values);
    // The default lists of Tables 7-3 and 7-4 (zig-zag order), which a flag
    // selects without listing values: 4x4 intra for lists 0-2, 4x4 inter for
    // 3-5, then 8x8 intra and inter.
    static const std::vector<std::vector<uint8_t>>& defaultValues();
    // Reads `count` lists, each preceded by its present flag.
    static std::optional<ScalingLists> parse(BitReader& br, int count);
    // Writes `count` lists; lists this set lacks are written absent.
    void write(RbspWriter& w, size_t count) const;
    bool operator==(const ScalingLists& o) const { return lists == o.lists; }
};

}  // namespace tv
