// The processor attributes that every block reads or writes, read and written
// exactly as `self.<name>` would read and write them, at a fraction of the cost.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "_common/py_ref.hpp"
#include "module_state.hpp"

namespace orlune::processor {

enum class Field : std::size_t {
    telemetry_reporter,
    sample_rate,
    processed_blocks,
    processed_samples
};

// Goes straight to the instance dict when the class leaves attribute access to
// the defaults and no class attribute shadows these names (the usual case), else
// through the ordinary attribute protocol. A value read from the dict is kept
// until the dict's version tag moves: every change to the dict moves it, whether
// it comes from the reporter's Python code, another thread while the engine
// runs, or this object's own writes.
class InstanceFields {
  public:
    InstanceFields(PyObject* self, const ModuleState& state);

    PyRef get(Field field);
    void set(Field field, PyRef value);

  private:
    static constexpr std::size_t kFieldCount = 4;

    bool uses_dict() const;
    bool cache_is_current() const;
    void restart_cache();

    PyObject* self_;
    std::array<PyObject*, kFieldCount> names_;
    PyRef dict_;                      // null: use the attribute protocol
    PyObject** dict_slot_ = nullptr;  // where the instance keeps its dict
    std::array<PyRef, kFieldCount> cached_;
    std::uint64_t cached_version_ = 0;
    bool cache_valid_ = false;
};

}  // namespace orlune::processor
