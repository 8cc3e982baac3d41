#pragma once

#include <cstdint>
#include <string>

namespace tolbrek5::test {

// SHA-256 of n bytes, as 64 lowercase hex digits.
std::string Sha256Hex(const std::uint8_t* data, std::size_t n);

}  // namespace tolbrek5::test
