#include "bundle.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace orlune::engine {
namespace {

constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr auto kCrcTable = make_crc_table();

// Bounds-checked little-endian reader over an immutable byte span.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool read(void* out, std::size_t count) {
        if (count > bytes_.size() - position_) return false;
        std::memcpy(out, bytes_.data() + position_, count);
        position_ += count;
        return true;
    }

    template <typename T>
    bool read_le(T& value) {
        std::array<std::uint8_t, sizeof(T)> raw{};
        if (!read(raw.data(), raw.size())) return false;
        std::uint64_t acc = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) acc |= std::uint64_t{raw[i]} << (8 * i);
        if constexpr (std::is_same_v<T, float>) {
            const auto bits = static_cast<std::uint32_t>(acc);
            std::memcpy(&value, &bits, sizeof value);
        } else {
            value = static_cast<T>(acc);
        }
        return true;
    }

    std::size_t remaining() const { return bytes_.size() - position_; }

    // The next `count` bytes without consuming them; nullopt when fewer remain.
    std::optional<std::span<const std::uint8_t>> peek(std::size_t count) const {
        if (count > remaining()) return std::nullopt;
        return bytes_.subspan(position_, count);
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t c = 0xFFFFFFFFU;
    for (std::uint8_t b : bytes) c = kCrcTable[(c ^ b) & 0xFFU] ^ (c >> 8);
    return c ^ 0xFFFFFFFFU;
}

namespace {

bool read_floats(Reader& in, std::size_t count, std::vector<float>& values) {
    if (count > in.remaining() / sizeof(float)) return false;
    values.resize(count);
    for (float& v : values) {
        if (!in.read_le(v) || !std::isfinite(v)) return false;
    }
    return true;
}

bool read_name(Reader& in, std::string& name) {
    std::uint16_t name_length = 0;
    if (!in.read_le(name_length) || name_length == 0 || name_length > kMaxNameLength) return false;
    name.assign(name_length, '\0');
    return in.read(name.data(), name_length);
}

std::optional<Section> read_legacy_entry(Reader& in) {
    Section section;
    std::uint32_t value_count = 0;
    if (!in.read_le(value_count) || !read_floats(in, value_count, section.values)) {
        return std::nullopt;
    }
    section.shape = {value_count};
    return section;
}

std::optional<Section> read_section(Reader& in) {
    Section section;
    std::uint8_t type = 0;
    std::uint8_t rank = 0;
    if (!in.read_le(type) || !in.read_le(rank) || rank == 0 || rank > kMaxRank) return std::nullopt;
    const bool text = type == static_cast<std::uint8_t>(SectionType::kText);
    if (!text && type != static_cast<std::uint8_t>(SectionType::kFloat32)) return std::nullopt;
    if (text && rank != 1) return std::nullopt;
    section.type = static_cast<SectionType>(type);
    std::size_t count = 1;
    for (std::uint8_t d = 0; d < rank; ++d) {
        std::uint32_t extent = 0;
        if (!in.read_le(extent)) return std::nullopt;
        section.shape.push_back(extent);
        // Bounded by what is left to read, so the product cannot overflow.
        if (extent > 0 && count > in.remaining() / extent) return std::nullopt;
        count *= extent;
    }
    std::uint32_t stored_crc = 0;
    if (!in.read_le(stored_crc)) return std::nullopt;
    const auto data = in.peek(text ? count : count * sizeof(float));
    if (!data || crc32(*data) != stored_crc) return std::nullopt;
    if (text) {
        section.text.assign(count, '\0');
        if (!in.read(section.text.data(), count)) return std::nullopt;
    } else if (!read_floats(in, count, section.values)) {
        return std::nullopt;
    }
    return section;
}

}  // namespace

std::optional<SectionTable> parse_bundle(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kBundleHeaderSize + 4 || bytes.size() > kMaxBundleSize) return std::nullopt;
    const std::size_t body_size = bytes.size() - 4;
    Reader trailer(bytes.subspan(body_size));
    std::uint32_t stored_crc = 0;
    if (!trailer.read_le(stored_crc) || stored_crc != crc32(bytes.first(body_size))) {
        return std::nullopt;
    }

    Reader in(bytes.first(body_size));
    char magic[sizeof kBundleMagic];
    std::uint32_t version = 0;
    std::uint32_t section_count = 0;
    std::uint64_t payload_size = 0;
    if (!in.read(magic, sizeof magic) || std::memcmp(magic, kBundleMagic, sizeof magic) != 0 ||
        !in.read_le(version) ||
        (version != kBundleFormatVersion && version != kLegacyBundleFormatVersion) ||
        !in.read_le(section_count) || !in.read_le(payload_size) ||
        payload_size != in.remaining()) {
        return std::nullopt;
    }

    SectionTable table;
    for (std::uint32_t e = 0; e < section_count; ++e) {
        std::string name;
        if (!read_name(in, name)) return std::nullopt;
        auto section =
            version == kBundleFormatVersion ? read_section(in) : read_legacy_entry(in);
        if (!section || !table.emplace(std::move(name), std::move(*section)).second) {
            return std::nullopt;
        }
    }
    if (in.remaining() != 0) return std::nullopt;
    return table;
}

std::optional<SectionTable> load_bundle_file(const char* path) {
    if (path == nullptr) return std::nullopt;
    // Refuse FIFOs, devices and directories up front: reading one could block or never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) || error) return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::array<char, 65536> chunk{};
    while (file) {
        file.read(chunk.data(), chunk.size());
        const auto got = static_cast<std::size_t>(file.gcount());
        if (bytes.size() + got > kMaxBundleSize) return std::nullopt;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    }
    if (file.bad()) return std::nullopt;
    return parse_bundle(bytes);
}

}  // namespace orlune::engine
