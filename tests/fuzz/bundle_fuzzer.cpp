// libFuzzer target for the model-bundle parser (engine/src/bundle.cpp) and the loaders of
// what a bundle carries: the statistical parameters (model.cpp) and the learned network
// (network.cpp).
//
// Each input is parsed twice: as given, and with its last four bytes replaced by the
// CRC-32 of the bytes before them, so that mutations get past the file checksum and
// reach the header and section parsing. A parse must either fail or give a table that
// accounts for every byte of the bundle; a network that loads must run a frame and give
// outputs in [0, 1]. Anything else stops the run, as does any sanitizer report, crash or
// hang. The network is loaded with the engine's own sizes and with small ones, so that
// seeds small enough to mutate quickly can hold a whole valid network.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "bundle.hpp"
#include "features.hpp"
#include "model.hpp"
#include "network.hpp"

namespace {

using orlune::engine::kBundleHeaderSize;
using orlune::engine::kMaxNameLength;
using orlune::engine::SectionTable;
using orlune::engine::SectionType;

constexpr std::size_t kCrcSize = 4;
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kEntryCountOffset = 12;
constexpr std::size_t kSmallInputs = 4;
constexpr std::size_t kSmallOutputs = 3;

std::uint32_t read_u32_le(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[offset + i]} << (8 * i);
    return value;
}

// A parsed table must be exactly what the bytes describe.
void check_table(const SectionTable& table, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kBundleHeaderSize + kCrcSize) std::abort();
    if (read_u32_le(bytes, kEntryCountOffset) != table.size()) std::abort();
    const bool legacy = read_u32_le(bytes, kVersionOffset) == 1;
    std::size_t payload = 0;
    for (const auto& [name, section] : table) {
        if (name.empty() || name.size() > kMaxNameLength) std::abort();
        if (section.shape.empty() || section.shape.size() > orlune::engine::kMaxRank) std::abort();
        std::size_t count = 1;
        for (const std::uint32_t extent : section.shape) count *= extent;
        std::size_t data = 0;
        if (section.type == SectionType::kText) {
            if (legacy || section.shape.size() != 1 || section.text.size() != count) std::abort();
            data = count;
        } else {
            if (section.values.size() != count) std::abort();
            for (const float value : section.values) {
                if (!std::isfinite(value)) std::abort();
            }
            data = count * sizeof(float);
        }
        payload += sizeof(std::uint16_t) + name.size() + data;
        payload += legacy ? sizeof(std::uint32_t)
                          : 2 + 4 * section.shape.size() + sizeof(std::uint32_t);
    }
    if (payload != bytes.size() - kBundleHeaderSize - kCrcSize) std::abort();
}

void run_network(const SectionTable& table, std::size_t inputs, std::size_t outputs) {
    const auto network = orlune::engine::Network::from_table(table, inputs, outputs);
    if (!network) return;
    if (network->inputs() != inputs || network->outputs() != outputs) std::abort();
    orlune::engine::NetworkState state(*network);
    const std::vector<float> frame(inputs, 1.0f);
    for (int t = 0; t < 2; ++t) {
        for (const float value : state.step(frame.data())) {
            if (!(value >= 0.0f && value <= 1.0f)) std::abort();
        }
    }
}

void parse_and_check(std::span<const std::uint8_t> bytes) {
    const auto table = orlune::engine::parse_bundle(bytes);
    if (!table) return;
    check_table(*table, bytes);
    (void)orlune::engine::parameters_from_table(*table);
    run_network(*table, orlune::engine::kFeatureCount, orlune::engine::kBandCount + 1);
    run_network(*table, kSmallInputs, kSmallOutputs);
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
