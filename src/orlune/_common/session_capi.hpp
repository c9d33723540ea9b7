// What orlune._orlune_nc offers orlune._processor natively, through the capsule
// `orlune._orlune_nc._SESSION_CAPI`: one frame of an OrluneNC without a Python call.
#pragma once

#include <Python.h>

#include <cstdint>

namespace orlune {

inline constexpr const char* kSessionCapiName = "orlune._orlune_nc._SESSION_CAPI";
inline constexpr unsigned kSessionCapiVersion = 1;

struct SessionCapi {
    unsigned version;
    // The OrluneNC type itself (exact instances take the native path).
    PyTypeObject* session_type;
    // Runs one frame of `session` (an exact OrluneNC): reads frame_length int16
    // samples from `input`, `input_stride` bytes apart, and writes the enhanced
    // frame to `output`, `output_stride` bytes apart. Takes the session's lock
    // and releases the GIL around the engine, as process_frame does.
    // Returns 0, or -1 with a Python exception set.
    int (*process_block)(PyObject* session, const char* input, Py_ssize_t input_stride,
                         char* output, Py_ssize_t output_stride);
};

}  // namespace orlune
