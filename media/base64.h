// Standard Base64 (RFC 4648 alphabet, padded, no line breaks).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::string base64Encode(const std::vector<uint8_t>& bytes);
