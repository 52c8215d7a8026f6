#include "tarnwick/bundle/layout/constants.hpp"

#include "tarnwick/bundle/host/clock.hpp"

namespace tarnwick::bundle::layout {

// The clock refuses dates after the calendar's last one; both name the same day.
static_assert(host::LAST_CLOCK_DATE == MAX_END_DATE);

namespace T = host::INSTRUMENT_TYPE;

const TagMap& TAG_MAP() {
    static const TagMap map = {
        {"stock", {T::CS}},   {"futures", {T::FUTURE}}, {"fund", {T::ETF, T::LOF, T::INDX}},
        {"index", {T::INDX}}, {"option", {T::OPTION}},  {"convertible", {T::CONVERTIBLE}},
    };
    return map;
}

const std::vector<InstrumentType>& EQUITIES_INS_TYPE() {
    static const std::vector<InstrumentType> types = {T::CS, T::ETF, T::LOF, T::INDX, T::CONVERTIBLE, T::REITs};
    return types;
}

const layout::BloscOptions& COMPRESSION_KWARGS() {
    static const layout::BloscOptions options = layout::blosc_opts(9, "blosc:lz4");
    return options;
}

}  // namespace tarnwick::bundle::layout
