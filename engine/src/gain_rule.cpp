#include "gain_rule.hpp"

namespace orlune::engine {

namespace {

// Restrict-qualified parameters (not locals: the compiler only trusts those) let the
// loop vectorise without run-time overlap checks.
ORLUNE_HOT_LOOPS void gain_rule_loop(std::size_t bins, float log_floor,
                                     const float* __restrict prior_snr,
                                     const float* __restrict posterior_snr,
                                     const float* __restrict power, const float* __restrict absence,
                                     float* __restrict speech_power, float* __restrict presence,
                                     float* __restrict gain) {
    for (std::size_t k = 0; k < bins; ++k) {
        const float xi = prior_snr[k];
        const float wiener = xi / (1.0f + xi);
        const float v = wiener * posterior_snr[k];
        const float exp_minus_v = fast_exp(-v);
        const float log_v = fast_log(max_of(v, 1e-30f));
        const float log_speech_gain = clamp_to(
            fast_log(wiener) + 0.5f * exponential_integral(v, exp_minus_v, log_v), log_floor, 0.0f);
        const float speech_gain = fast_exp(log_speech_gain);
        speech_power[k] = speech_gain * speech_gain * power[k];

        const float q = absence[k];
        const float p = 1.0f / (1.0f + q / (1.0f - q) * (1.0f + xi) * exp_minus_v);
        presence[k] = p;
        gain[k] = fast_exp(p * log_speech_gain + (1.0f - p) * log_floor);
    }
}

}  // namespace

void apply_gain_rule(std::size_t bins, float log_floor, const GainRuleInputs& in,
                     const GainRuleOutputs& out) {
    gain_rule_loop(bins, log_floor, in.prior_snr, in.posterior_snr, in.power, in.absence,
                   out.speech_power, out.presence, out.gain);
}

}  // namespace orlune::engine
