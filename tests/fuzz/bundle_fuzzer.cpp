// libFuzzer target for parse_bundle (engine/src/bundle.cpp).
//
// Each input is parsed twice: as given, and with its last four bytes replaced
// by the CRC-32 of the bytes before them, so that mutations get past the
// checksum and reach the header and entry parsing. A parse must either fail or
// give a table that accounts for every byte of the bundle; anything else stops
// the run, as does any sanitizer report, crash or hang.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "bundle.hpp"

namespace {

using orlune::engine::kBundleHeaderSize;
using orlune::engine::kMaxNameLength;
using orlune::engine::ParameterTable;

constexpr std::size_t kCrcSize = 4;
constexpr std::size_t kEntryCountOffset = 12;

std::uint32_t read_u32_le(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[offset + i]} << (8 * i);
    return value;
}

// A parsed table must be exactly what the bytes describe.
void check_table(const ParameterTable& table, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kBundleHeaderSize + kCrcSize) std::abort();
    if (read_u32_le(bytes, kEntryCountOffset) != table.size()) std::abort();
    std::size_t payload = 0;
    for (const auto& [name, values] : table) {
        if (name.empty() || name.size() > kMaxNameLength) std::abort();
        for (const float value : values) {
            if (!std::isfinite(value)) std::abort();
        }
        payload += sizeof(std::uint16_t) + name.size() + sizeof(std::uint32_t) +
                   values.size() * sizeof(float);
    }
    if (payload != bytes.size() - kBundleHeaderSize - kCrcSize) std::abort();
}

void parse_and_check(std::span<const std::uint8_t> bytes) {
    if (const auto table = orlune::engine::parse_bundle(bytes)) check_table(*table, bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    parse_and_check(bytes);
    if (size >= kCrcSize) {
        std::vector<std::uint8_t> resealed(bytes.begin(), bytes.end());
        const std::uint32_t crc = orlune::engine::crc32(bytes.first(size - kCrcSize));
        for (std::size_t i = 0; i < kCrcSize; ++i) {
            resealed[size - kCrcSize + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        }
        parse_and_check(resealed);
    }
    return 0;
}
