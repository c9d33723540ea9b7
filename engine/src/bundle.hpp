// Model bundle container: a versioned, checksummed table of named, typed sections.
//
// Layout (little endian), format 2:
//   "ORLUNEMB" | u32 format_version | u32 section_count | u64 payload_size
//   section_count x {
//     u16 name_length | name
//     u8 type (1: f32 array, 2: UTF-8 text) | u8 rank (1..4) | u32 shape[rank]
//     u32 CRC-32 of the data | data (4 bytes per value for f32, one per byte of text;
//                                    a text section has rank 1, its length as its shape)
//   }
//   u32 CRC-32 (zlib polynomial) of every byte before it
// Format 1, still read, is the same header followed by
//   entry_count x { u16 name_length | name | u32 value_count | f32 values[value_count] }
// (each entry an f32 section of shape [value_count]) and the same trailing CRC-32.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orlune::engine {

inline constexpr char kBundleMagic[8] = {'O', 'R', 'L', 'U', 'N', 'E', 'M', 'B'};
inline constexpr std::uint32_t kBundleFormatVersion = 2;
inline constexpr std::uint32_t kLegacyBundleFormatVersion = 1;
inline constexpr std::size_t kBundleHeaderSize = 24;
inline constexpr std::size_t kMaxBundleSize = std::size_t{64} << 20;
inline constexpr std::size_t kMaxNameLength = 64;
inline constexpr std::size_t kMaxRank = 4;

enum class SectionType : std::uint8_t { kFloat32 = 1, kText = 2 };

struct Section {
    SectionType type = SectionType::kFloat32;
    std::vector<std::uint32_t> shape;
    std::vector<float> values;  // kFloat32: the product of shape, row-major, all finite
    std::string text;           // kText: shape[0] bytes

    bool is_floats(std::initializer_list<std::uint32_t> expected) const {
        return type == SectionType::kFloat32 && std::equal(shape.begin(), shape.end(),
                                                           expected.begin(), expected.end());
    }
};

using SectionTable = std::map<std::string, Section, std::less<>>;

std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// Parses a whole bundle held in memory; nullopt for anything malformed (bad magic or
// version, size mismatch, overlong or duplicate names, unknown type, bad rank or shape,
// non-finite values, a section's or the file's checksum failing). Never reads outside
// `bytes`.
std::optional<SectionTable> parse_bundle(std::span<const std::uint8_t> bytes);

// Reads and parses a bundle file; nullopt when it cannot be read or parsed.
std::optional<SectionTable> load_bundle_file(const char* path);

}  // namespace orlune::engine
