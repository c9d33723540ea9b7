// Compiled only where the LADSPA SDK and LV2 headers are installed (CI installs them):
// the build fails if our declarations of the two interfaces drift from the official ones.
#include <ladspa.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/urid/urid.h>

#include <cstddef>

#include "ladspa_abi.hpp"
#include "lv2_abi.hpp"

namespace ours = orlune::plugins;

#define SAME_FIELD(ours_type, field, theirs_type, their_field)                        \
    static_assert(offsetof(ours_type, field) == offsetof(theirs_type, their_field) && \
                  sizeof(ours_type::field) == sizeof(theirs_type::their_field))

static_assert(sizeof(ours::ladspa::Descriptor) == sizeof(LADSPA_Descriptor));
SAME_FIELD(ours::ladspa::Descriptor, unique_id, LADSPA_Descriptor, UniqueID);
SAME_FIELD(ours::ladspa::Descriptor, properties, LADSPA_Descriptor, Properties);
SAME_FIELD(ours::ladspa::Descriptor, port_count, LADSPA_Descriptor, PortCount);
SAME_FIELD(ours::ladspa::Descriptor, port_range_hints, LADSPA_Descriptor, PortRangeHints);
SAME_FIELD(ours::ladspa::Descriptor, instantiate, LADSPA_Descriptor, instantiate);
SAME_FIELD(ours::ladspa::Descriptor, run, LADSPA_Descriptor, run);
SAME_FIELD(ours::ladspa::Descriptor, cleanup, LADSPA_Descriptor, cleanup);
static_assert(sizeof(ours::ladspa::PortRangeHint) == sizeof(LADSPA_PortRangeHint));
SAME_FIELD(ours::ladspa::PortRangeHint, upper_bound, LADSPA_PortRangeHint, UpperBound);
static_assert(ours::ladspa::port_input == LADSPA_PORT_INPUT &&
              ours::ladspa::port_output == LADSPA_PORT_OUTPUT &&
              ours::ladspa::port_control == LADSPA_PORT_CONTROL &&
              ours::ladspa::port_audio == LADSPA_PORT_AUDIO);
static_assert(ours::ladspa::property_hard_rt_capable == LADSPA_PROPERTY_HARD_RT_CAPABLE);
static_assert(ours::ladspa::hint_bounded_below == LADSPA_HINT_BOUNDED_BELOW &&
              ours::ladspa::hint_bounded_above == LADSPA_HINT_BOUNDED_ABOVE &&
              ours::ladspa::hint_default_minimum == LADSPA_HINT_DEFAULT_MINIMUM &&
              ours::ladspa::hint_default_low == LADSPA_HINT_DEFAULT_LOW &&
              ours::ladspa::hint_default_maximum == LADSPA_HINT_DEFAULT_MAXIMUM);

static_assert(sizeof(ours::lv2::Descriptor) == sizeof(LV2_Descriptor));
SAME_FIELD(ours::lv2::Descriptor, instantiate, LV2_Descriptor, instantiate);
SAME_FIELD(ours::lv2::Descriptor, run, LV2_Descriptor, run);
SAME_FIELD(ours::lv2::Descriptor, extension_data, LV2_Descriptor, extension_data);
static_assert(sizeof(ours::lv2::Feature) == sizeof(LV2_Feature));
SAME_FIELD(ours::lv2::UridMap, map, LV2_URID_Map, map);
SAME_FIELD(ours::lv2::Log, printf, LV2_Log_Log, printf);
SAME_FIELD(ours::lv2::Log, vprintf, LV2_Log_Log, vprintf);
