/*
 * liborlune_nc: the Orlune noise-suppression engine, C interface.
 *
 * A model is loaded once from a bundle file; each session is one causal
 * stream at one sample rate. Distinct sessions (and distinct models) may be
 * used concurrently from different threads; one session must not be entered
 * by two threads at once.
 *
 * Exported names carry the historical "kelvo_nc_" prefix.
 */
#ifndef ORLUNE_NC_H
#define ORLUNE_NC_H

#include <stddef.h>

#if defined(_WIN32)
#define ORLUNE_NC_API __declspec(dllexport)
#else
#define ORLUNE_NC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kelvo_nc_model kelvo_nc_model;
typedef struct kelvo_nc_session kelvo_nc_session;

/* Loads a model bundle: the statistical engine's, or a learned model's (which carries
 * the same statistical parameters and a network). Returns NULL when the file is missing,
 * unreadable, truncated, of another format version, fails a checksum, or lacks or
 * misshapes a parameter or weight. */
ORLUNE_NC_API kelvo_nc_model* kelvo_nc_model_load_from_path(const char* path);

/* Frees a model. NULL is ignored. Every session created on it must be freed first. */
ORLUNE_NC_API void kelvo_nc_model_free(kelvo_nc_model* model);

/* Opens a stream at one of 8000, 16000, 22050, 24000, 32000, 44100 or 48000 Hz.
 * attenuation_limit_db bounds how far the output is pulled below the input:
 * 0 or less returns the input (delayed), NaN or +inf means no bound.
 * Returns NULL for a NULL model or an unsupported rate. */
ORLUNE_NC_API kelvo_nc_session* kelvo_nc_session_create(const kelvo_nc_model* model,
                                                        size_t sample_rate,
                                                        float attenuation_limit_db);

/* Frees a session. NULL is ignored. */
ORLUNE_NC_API void kelvo_nc_session_free(kelvo_nc_session* session);

/* Samples per frame (10 ms of audio; 220 at 22050 Hz, 441 at 44100 Hz). 0 for NULL. */
ORLUNE_NC_API size_t kelvo_nc_get_frame_length(const kelvo_nc_session* session);

/* Processes one frame of frame_length samples in full scale [-1, 1).
 * input and output may alias. Returns the frame's speech presence
 * probability in [0, 1] (a learned model's own voice-activity output);
 * a NULL argument leaves output untouched and returns 0. */
ORLUNE_NC_API float kelvo_nc_process_frame(kelvo_nc_session* session, const float* input,
                                           float* output);

/* Returns the session to its freshly created state. NULL is ignored. */
ORLUNE_NC_API void kelvo_nc_reset(kelvo_nc_session* session);

/* Constant algorithmic delay of the output behind the input, in samples. 0 for NULL. */
ORLUNE_NC_API size_t kelvo_nc_get_latency(const kelvo_nc_session* session);

/* The learned model's front end, for the training code (the binding does not use these).
 * B bands cover 0-8000 Hz at every rate; F features describe each frame (the engine's
 * README lists them). */
ORLUNE_NC_API size_t kelvo_nc_band_count(void);
ORLUNE_NC_API size_t kelvo_nc_feature_count(void);

/* Runs the feature front end over a whole signal from a fresh stream at sample_rate (one
 * of the seven rates), with `model`'s statistical parameters (a classic or a learned
 * bundle). Writes frames x F features and frames x B band energies (row-major;
 * band_energy may be NULL), frames = samples / frame_length. Frame t describes the same
 * window a session analyses when it receives input frame t. Returns frames; 0 for a NULL
 * model, signal or features, an unsupported rate, or fewer samples than a frame. */
ORLUNE_NC_API size_t kelvo_nc_analyse(const kelvo_nc_model* model, size_t sample_rate,
                                      const float* signal, size_t samples, float* features,
                                      float* band_energy);

/* Runs a learned model's network from a fresh state over frames x F features and writes
 * frames x (B + 1) outputs (B band gains, then the speech probability). Returns frames;
 * 0 for a model without a network or NULL pointers. */
ORLUNE_NC_API size_t kelvo_nc_infer(const kelvo_nc_model* model, const float* features,
                                    size_t frames, float* outputs);

#ifdef __cplusplus
}
#endif

#endif /* ORLUNE_NC_H */
