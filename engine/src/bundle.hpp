// Model bundle container: a versioned, checksummed table of named float arrays.
//
// Layout (little endian):
//   "ORLUNEMB" | u32 format_version | u32 entry_count | u64 payload_size
//   entry_count x { u16 name_length | name | u32 value_count | f32 values[value_count] }
//   u32 CRC-32 (zlib polynomial) of every byte before it
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orlune::engine {

inline constexpr char kBundleMagic[8] = {'O', 'R', 'L', 'U', 'N', 'E', 'M', 'B'};
inline constexpr std::uint32_t kBundleFormatVersion = 1;
inline constexpr std::size_t kBundleHeaderSize = 24;
inline constexpr std::size_t kMaxBundleSize = std::size_t{64} << 20;
inline constexpr std::size_t kMaxNameLength = 64;

using ParameterTable = std::map<std::string, std::vector<float>, std::less<>>;

std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// Parses a whole bundle held in memory; nullopt for anything malformed
// (bad magic or version, size mismatch, overlong or duplicate names,
// non-finite values, checksum failure). Never reads outside `bytes`.
std::optional<ParameterTable> parse_bundle(std::span<const std::uint8_t> bytes);

// Reads and parses a bundle file; nullopt when it cannot be read or parsed.
std::optional<ParameterTable> load_bundle_file(const char* path);

}  // namespace orlune::engine
