#include "job/text_format.h"

#include <charconv>

std::string fixed(double value, int decimals) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (res.ec != std::errc()) return "0";
    return std::string(buf, res.ptr);
}

std::string sizeText(int64_t bytes) {
    const double gb = double(bytes) / 1e9;
    if (gb >= 100) return fixed(gb, 0) + " GB";
    if (gb >= 1) {
        std::string text = fixed(gb, 1);
        if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0) text.resize(text.size() - 2);
        return text + " GB";
    }
    return fixed(double(bytes) / 1e6, 0) + " MB";
}
