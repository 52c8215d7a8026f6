#pragma once
// The host's instrument type constants. Each equals the `type` text the service reports for
// instruments of that kind and can be passed to the service's all_instruments().
#include <string>

namespace tarnwick::bundle::host {

using InstrumentType = std::string;

namespace INSTRUMENT_TYPE {
inline const InstrumentType CS = "CS";
inline const InstrumentType FUTURE = "Future";
inline const InstrumentType ETF = "ETF";
inline const InstrumentType LOF = "LOF";
inline const InstrumentType INDX = "INDX";
inline const InstrumentType OPTION = "Option";
inline const InstrumentType CONVERTIBLE = "Convertible";
inline const InstrumentType REITs = "REITs";
}  // namespace INSTRUMENT_TYPE

}  // namespace tarnwick::bundle::host
