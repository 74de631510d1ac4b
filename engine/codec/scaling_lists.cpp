#include "codec/scaling_lists.h"

#include "base/bytes.h"
#include "codec/rbsp_writer.h"

namespace tv {

std::optional<ScalingLists> ScalingLists::parse(BitReader& br, int count) {
    ScalingLists s;
    for (int i = 0; i < count && br.ok(); ++i) {
        if (!br.flag()) {
            s.lists.emplace_back();
            continue;
        }
        std::vector<int32_t> deltas;
        int size = i < 6 ? 16 : 64, last = 8, next = 8;
        for (int j = 0; j < size && br.ok(); ++j) {
            if (next == 0) break;
            const int32_t d = br.se();
            if (d < -128 || d > 127) return std::nullopt;
            deltas.push_back(d);
            next = (last + d + 256) % 256;
            last = next == 0 ? last : next;
        }
        s.lists.emplace_back(std::move(deltas));
    }
    if (!br.ok()) return std::nullopt;
    return s;
}

ScalingLists ScalingLists::fromValues(const std::vector<std::vector<uint8_t>>& values) {
    ScalingLists s;
    for (const auto& list : values) {
        std::vector<int32_t> deltas;
        int last = 8;
        for (uint8_t v : list) {
            deltas.push_back((int(v) - last + 384) % 256 - 128);
            last = v;
        }
        s.lists.emplace_back(std::move(deltas));
    }
    return s;
}

void ScalingLists::write(RbspWriter& w, size_t count) const {
    for (size_t i = 0; i < count; ++i) {
        const bool have = i < lists.size() && lists[i].has_value();
        w.flag(have);
        if (have)
            for (int32_t d : *lists[i]) w.se(d);
    }
}

const std::vector<std::vector<uint8_t>>& ScalingLists::defaultValues() {
    static const std::vector<uint8_t> intra4{6, 13, 13, 20, 20, 20, 28, 28, 28, 28, 32, 32, 32, 37, 37, 42};
    static const std::vector<uint8_t> inter4{10, 14, 14, 20, 20, 20, 24, 24, 24, 24, 27, 27, 27, 30, 30, 34};
    static const std::vector<uint8_t> intra8{
        6,  10, 10, 13, 11, 13, 16, 16, 16, 16, 18, 18, 18, 18, 18, 23, 23, 23, 23, 23, 23, 25,
        25, 25, 25, 25, 25, 25, 27, 27, 27, 27, 27, 27, 27, 27, 29, 29, 29, 29, 29, 29, 29, 31,
        31, 31, 31, 31, 31, 33, 33, 33, 33, 33, 36, 36, 36, 36, 38, 38, 38, 40, 40, 42};
    static const std::vector<uint8_t> inter8{
        9,  13, 13, 15, 13, 15, 17, 17, 17, 17, 19, 19, 19, 19, 19, 21, 21, 21, 21, 21, 21, 22,
        22, 22, 22, 22, 22, 22, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 27,
        27, 27, 27, 27, 27, 28, 28, 28, 28, 28, 30, 30, 30, 30, 32, 32, 32, 33, 33, 35};
    static const std::vector<std::vector<uint8_t>> lists{intra4, intra4, intra4, inter4, inter4, inter4, intra8, inter8};
    return lists;
}

}  // namespace tv
