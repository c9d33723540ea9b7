// The learned model's network: a short stack of causal layers with PyTorch's semantics,
// run one 10 ms frame at a time.
//
//   dense   y = act(W x + b)                               (torch.nn.Linear)
//   conv1d  y_t = act(sum_j W[:, :, j] x_{t-k+1+j} + b)    (torch.nn.Conv1d over time,
//           causal: the current and k-1 past frames, zero history at the start)
//   gru     r = sigmoid(W_ir x + b_ir + W_hr h + b_hr)       (torch.nn.GRU, one layer)
//           z = sigmoid(W_iz x + b_iz + W_hz h + b_hz)
//           n = tanh(W_in x + b_in + r * (W_hn h + b_hn))
//           h' = (1 - z) * n + z * h,  h = 0 at the start
//
// Weights come from a bundle's "net." sections, layer i as
//   net.<i>.kind        text: dense | conv1d | gru
//   net.<i>.activation  text: linear | relu | tanh | sigmoid (a gru's is linear)
//   net.<i>.weight [out, in] or [out, in, k], net.<i>.bias [out]            (dense, conv1d)
//   net.<i>.weight_ih [3H, in], net.<i>.weight_hh [3H, H],
//   net.<i>.bias_ih [3H], net.<i>.bias_hh [3H]                              (gru)
// and the lowest gain the engine applies after it, net.gain_floor_db [1] (-120..0),
// and are stored transposed, so that every matrix-vector product is a run of
// y += column * x_i over the outputs: loops without reductions, which vectorise while
// keeping one fixed order of operations (so results are deterministic).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "bundle.hpp"

namespace orlune::engine {

enum class LayerKind { kDense, kConv1d, kGru };
enum class Activation { kLinear, kRelu, kTanh, kSigmoid };

struct Layer {
    LayerKind kind{};
    Activation activation{};
    std::size_t inputs = 0;
    std::size_t outputs = 0;  // H for a gru
    std::size_t taps = 1;     // k for a conv1d
    // dense, conv1d: [taps * inputs][outputs], input index j * inputs + i for tap j
    // (oldest first); gru: W_ih as [inputs][3H]
    std::vector<float> weights;
    std::vector<float> bias;            // [outputs]; gru: b_ih [3H]
    std::vector<float> hidden_weights;  // gru: W_hh as [H][3H]
    std::vector<float> hidden_bias;     // gru: b_hh [3H]
};

inline constexpr std::size_t kMaxLayers = 16;
inline constexpr std::size_t kMaxLayerWidth = 4096;
inline constexpr std::size_t kMaxTaps = 16;

class Network {
  public:
    // The network in `table`'s "net.<i>." sections, taking `inputs` values and giving
    // `outputs` through a final sigmoid. nullopt when a layer or the floor is missing or
    // incomplete, a shape does not chain, a kind or activation is unknown, or a "net."
    // section is left over.
    static std::optional<Network> from_table(const SectionTable& table, std::size_t inputs,
                                             std::size_t outputs);

    std::span<const Layer> layers() const { return layers_; }
    std::size_t inputs() const { return layers_.front().inputs; }
    std::size_t outputs() const { return layers_.back().outputs; }
    float gain_floor_db() const { return gain_floor_db_; }

  private:
    std::vector<Layer> layers_;
    float gain_floor_db_ = 0.0f;
};

// The running state of one stream through a Network: all buffers are allocated here,
// none in step().
class NetworkState {
  public:
    explicit NetworkState(const Network& network);

    // Takes one frame of inputs() values; returns the outputs() values of the last layer,
    // valid until the next step() or reset().
    std::span<const float> step(const float* input);

    void reset();

  private:
    struct LayerState {
        std::vector<float> output;   // outputs (gru: the hidden state h)
        std::vector<float> history;  // conv1d: taps * inputs, oldest first
        std::vector<float> gates_x;  // gru: W_ih x + b_ih
        std::vector<float> gates_h;  // gru: W_hh h + b_hh
    };

    const Network* network_;
    std::vector<LayerState> states_;
};

}  // namespace orlune::engine
