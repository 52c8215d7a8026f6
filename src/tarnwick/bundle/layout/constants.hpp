#pragma once
// The module's constants, fixed when the library loads.
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/bundle/host/instrument_type.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"

namespace tarnwick::bundle::layout {

using host::InstrumentType;

inline constexpr int MIN_START_DATE = 20050104;
inline constexpr int MAX_END_DATE = 29991231;
inline constexpr int REBUILD_COMFIRM_RETRY_TIMES = 3;
inline constexpr int TICK_DATE_CHUNK_SIZE = 100;

// Category word -> instrument types, in this order (the order shows in messages and "all").
using TagMap = std::vector<std::pair<std::string, std::vector<InstrumentType>>>;
const TagMap& TAG_MAP();

// Types whose minute bars live in "equities".
const std::vector<InstrumentType>& EQUITIES_INS_TYPE();

// Dataset-creation options of tick datasets: Blosc with LZ4 at level 9.
const layout::BloscOptions& COMPRESSION_KWARGS();

}  // namespace tarnwick::bundle::layout
