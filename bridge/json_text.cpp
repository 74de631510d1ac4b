#include "bridge/json_text.h"

#include <cmath>

namespace {

// The JSON writer would print NaN and infinities as null; the page would then
// see a value nobody sent, so such a value counts as unencodable.
bool allFinite(const Value& v) {
    if (v.is_number_float()) return std::isfinite(v.get<double>());
    if (v.is_structured()) {
        for (const auto& item : v) {
            if (!allFinite(item)) return false;
        }
    }
    return true;
}

}  // namespace

std::string jsonString(const Value& value) {
    if (!allFinite(value)) return "{}";
    try {
        return value.dump(-1, ' ', false, Value::error_handler_t::strict);
    } catch (const std::exception&) {
        return "{}";
    }
}
