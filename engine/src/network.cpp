#include "network.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

#include "fast_math.hpp"

namespace orlune::engine {
namespace {

std::optional<LayerKind> kind_named(std::string_view name) {
    if (name == "dense") return LayerKind::kDense;
    if (name == "conv1d") return LayerKind::kConv1d;
    if (name == "gru") return LayerKind::kGru;
    return std::nullopt;
}

std::optional<Activation> activation_named(std::string_view name) {
    if (name == "linear") return Activation::kLinear;
    if (name == "relu") return Activation::kRelu;
    if (name == "tanh") return Activation::kTanh;
    if (name == "sigmoid") return Activation::kSigmoid;
    return std::nullopt;
}

// Looks sections up by name and counts the ones used, so that leftovers can be refused.
class SectionReader {
  public:
    explicit SectionReader(const SectionTable& table) : table_(table) {}

    const Section* find(const std::string& name) {
        const auto it = table_.find(name);
        if (it == table_.end()) return nullptr;
        ++used_;
        return &it->second;
    }

    const std::string* text(const std::string& name) {
        const Section* section = find(name);
        return section && section->type == SectionType::kText ? &section->text : nullptr;
    }

    std::size_t used() const { return used_; }

  private:
    const SectionTable& table_;
    std::size_t used_ = 0;
};

bool valid_width(std::uint32_t width) { return width > 0 && width <= kMaxLayerWidth; }

// out[i * rows + r] = in[r * columns + i]: a [rows, columns] matrix as [columns, rows].
std::vector<float> transposed(const std::vector<float>& in, std::size_t rows, std::size_t columns) {
    std::vector<float> out(in.size());
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t i = 0; i < columns; ++i) out[i * rows + r] = in[r * columns + i];
    }
    return out;
}

std::optional<Layer> read_layer(SectionReader& sections, std::size_t index, std::size_t inputs) {
    const std::string prefix = "net." + std::to_string(index) + ".";
    const std::string* kind_name = sections.text(prefix + "kind");
    const std::string* activation_name = sections.text(prefix + "activation");
    if (!kind_name || !activation_name) return std::nullopt;
    const auto kind = kind_named(*kind_name);
    const auto activation = activation_named(*activation_name);
    if (!kind || !activation) return std::nullopt;

    Layer layer;
    layer.kind = *kind;
    layer.activation = *activation;
    layer.inputs = inputs;
    if (layer.kind == LayerKind::kGru) {
        if (layer.activation != Activation::kLinear) return std::nullopt;
        const Section* w_ih = sections.find(prefix + "weight_ih");
        const Section* w_hh = sections.find(prefix + "weight_hh");
        const Section* b_ih = sections.find(prefix + "bias_ih");
        const Section* b_hh = sections.find(prefix + "bias_hh");
        if (!w_ih || !w_hh || !b_ih || !b_hh || w_ih->shape.size() != 2) return std::nullopt;
        const std::uint32_t gates = w_ih->shape[0];
        const std::uint32_t hidden = gates / 3;
        const auto in = static_cast<std::uint32_t>(inputs);
        if (gates % 3 != 0 || !valid_width(hidden) || !w_ih->is_floats({gates, in}) ||
            !w_hh->is_floats({gates, hidden}) || !b_ih->is_floats({gates}) ||
            !b_hh->is_floats({gates})) {
            return std::nullopt;
        }
        layer.outputs = hidden;
        layer.weights = transposed(w_ih->values, gates, inputs);
        layer.hidden_weights = transposed(w_hh->values, gates, hidden);
        layer.bias = b_ih->values;
        layer.hidden_bias = b_hh->values;
        return layer;
    }

    const Section* weight = sections.find(prefix + "weight");
    const Section* bias = sections.find(prefix + "bias");
    if (!weight || !bias || weight->shape.empty()) return std::nullopt;
    const std::uint32_t outputs = weight->shape[0];
    const auto in = static_cast<std::uint32_t>(inputs);
    if (layer.kind == LayerKind::kDense) {
        if (!weight->is_floats({outputs, in})) return std::nullopt;
    } else {
        if (weight->shape.size() != 3) return std::nullopt;
        const std::uint32_t taps = weight->shape[2];
        if (taps == 0 || taps > kMaxTaps || !weight->is_floats({outputs, in, taps})) {
            return std::nullopt;
        }
        layer.taps = taps;
    }
    if (!valid_width(outputs) || !bias->is_floats({outputs})) return std::nullopt;
    layer.outputs = outputs;
    // [out][in][taps] -> [tap][in][out]
    const std::size_t taps = layer.taps;
    layer.weights.resize(weight->values.size());
    for (std::size_t o = 0; o < outputs; ++o) {
        for (std::size_t i = 0; i < inputs; ++i) {
            for (std::size_t j = 0; j < taps; ++j) {
                layer.weights[(j * inputs + i) * outputs + o] =
                    weight->values[(o * inputs + i) * taps + j];
            }
        }
    }
    layer.bias = bias->values;
    return layer;
}

// y = bias + W x for W stored as [inputs][outputs]. Four inputs per pass keep y in
// registers a little longer; the order of the additions is fixed.
ORLUNE_HOT_LOOPS void affine(std::size_t inputs, std::size_t outputs, const float* __restrict w,
                             const float* __restrict bias, const float* __restrict x,
                             float* __restrict y) {
    for (std::size_t o = 0; o < outputs; ++o) y[o] = bias[o];
    std::size_t i = 0;
    for (; i + 4 <= inputs; i += 4) {
        const float x0 = x[i];
        const float x1 = x[i + 1];
        const float x2 = x[i + 2];
        const float x3 = x[i + 3];
        const float* w0 = w + i * outputs;
        const float* w1 = w0 + outputs;
        const float* w2 = w1 + outputs;
        const float* w3 = w2 + outputs;
        for (std::size_t o = 0; o < outputs; ++o) {
            y[o] += (w0[o] * x0 + w1[o] * x1) + (w2[o] * x2 + w3[o] * x3);
        }
    }
    for (; i < inputs; ++i) {
        const float xi = x[i];
        const float* wi = w + i * outputs;
        for (std::size_t o = 0; o < outputs; ++o) y[o] += wi[o] * xi;
    }
}

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// tanh through the exponential: several times cheaper than std::tanh, within 1e-7 of it.
float tanh_of(float x) { return 2.0f / (1.0f + std::exp(-2.0f * x)) - 1.0f; }

void activate(Activation activation, std::span<float> values) {
    switch (activation) {
        case Activation::kLinear:
            break;
        case Activation::kRelu:
            for (float& v : values) v = max_of(v, 0.0f);
            break;
        case Activation::kTanh:
            for (float& v : values) v = tanh_of(v);
            break;
        case Activation::kSigmoid:
            for (float& v : values) v = sigmoid(v);
            break;
    }
}

void gru_update(std::size_t hidden, const float* __restrict gates_x,
                const float* __restrict gates_h, float* __restrict h) {
    for (std::size_t j = 0; j < hidden; ++j) {
        const float r = sigmoid(gates_x[j] + gates_h[j]);
        const float z = sigmoid(gates_x[hidden + j] + gates_h[hidden + j]);
        const float n = tanh_of(gates_x[2 * hidden + j] + r * gates_h[2 * hidden + j]);
        h[j] = (1.0f - z) * n + z * h[j];
    }
}

}  // namespace

std::optional<Network> Network::from_table(const SectionTable& table, std::size_t inputs,
                                           std::size_t outputs) {
    SectionReader sections(table);
    Network network;
    std::size_t width = inputs;
    while (network.layers_.size() < kMaxLayers &&
           table.contains("net." + std::to_string(network.layers_.size()) + ".kind")) {
        auto layer = read_layer(sections, network.layers_.size(), width);
        if (!layer) return std::nullopt;
        width = layer->outputs;
        network.layers_.push_back(std::move(*layer));
    }
    if (network.layers_.empty() || width != outputs ||
        network.layers_.back().activation != Activation::kSigmoid) {
        return std::nullopt;
    }
    const Section* floor = sections.find("net.gain_floor_db");
    if (!floor || !floor->is_floats({1}) || !(floor->values[0] >= -120.0f) ||
        !(floor->values[0] <= 0.0f)) {
        return std::nullopt;
    }
    network.gain_floor_db_ = floor->values[0];
    const auto network_sections = std::count_if(table.begin(), table.end(), [](const auto& entry) {
        return std::string_view(entry.first).starts_with("net.");
    });
    if (static_cast<std::size_t>(network_sections) != sections.used()) return std::nullopt;
    return network;
}

NetworkState::NetworkState(const Network& network) : network_(&network) {
    for (const Layer& layer : network.layers()) {
        LayerState state;
        state.output.assign(layer.outputs, 0.0f);
        if (layer.kind == LayerKind::kConv1d) state.history.assign(layer.taps * layer.inputs, 0.0f);
        if (layer.kind == LayerKind::kGru) {
            state.gates_x.assign(3 * layer.outputs, 0.0f);
            state.gates_h.assign(3 * layer.outputs, 0.0f);
        }
        states_.push_back(std::move(state));
    }
}

std::span<const float> NetworkState::step(const float* input) {
    const auto layers = network_->layers();
    const float* x = input;
    for (std::size_t l = 0; l < layers.size(); ++l) {
        const Layer& layer = layers[l];
        LayerState& state = states_[l];
        float* y = state.output.data();
        switch (layer.kind) {
            case LayerKind::kDense:
                affine(layer.inputs, layer.outputs, layer.weights.data(), layer.bias.data(), x, y);
                break;
            case LayerKind::kConv1d: {
                // Slide the window of past inputs by one frame and append this one.
                float* history = state.history.data();
                const std::size_t kept = (layer.taps - 1) * layer.inputs;
                std::copy(history + layer.inputs, history + layer.inputs + kept, history);
                std::copy(x, x + layer.inputs, history + kept);
                affine(layer.taps * layer.inputs, layer.outputs, layer.weights.data(),
                       layer.bias.data(), history, y);
                break;
            }
            case LayerKind::kGru:
                affine(layer.inputs, 3 * layer.outputs, layer.weights.data(), layer.bias.data(), x,
                       state.gates_x.data());
                affine(layer.outputs, 3 * layer.outputs, layer.hidden_weights.data(),
                       layer.hidden_bias.data(), y, state.gates_h.data());
                gru_update(layer.outputs, state.gates_x.data(), state.gates_h.data(), y);
                break;
        }
        activate(layer.activation, state.output);
        x = y;
    }
    return states_.back().output;
}

void NetworkState::reset() {
    for (LayerState& state : states_) {
        std::fill(state.output.begin(), state.output.end(), 0.0f);
        std::fill(state.history.begin(), state.history.end(), 0.0f);
    }
}

}  // namespace orlune::engine
