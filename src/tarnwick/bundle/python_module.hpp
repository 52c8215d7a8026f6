#pragma once
// What the Python module (python/src) uses of the library: the entry functions (bundle.hpp),
// the constants it exposes (the stored record types as numpy describes them, the Blosc options,
// the tag map), the status view (namespace `status`), the console and stop hooks through which
// the interpreter takes part, and the errors it turns into Python exceptions. Like bundle.hpp,
// nothing here includes HDF5: the module shares its process with h5py, which brings its own.
// It also reads records out of the store files (namespace `reading`: read_minbar, read_ticks) and
// audits their content (namespace `audit`: audit).
#include "tarnwick/bundle/audit/audit.hpp"
#include "tarnwick/bundle/bundle.hpp"
#include "tarnwick/bundle/commands/plan.hpp"
#include "tarnwick/bundle/minbar/refetch.hpp"
#include "tarnwick/bundle/tick/refetch.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/record_description.hpp"
#include "tarnwick/bundle/reading/columns.hpp"
#include "tarnwick/bundle/reading/export.hpp"
#include "tarnwick/bundle/reading/panel.hpp"
#include "tarnwick/bundle/reading/read.hpp"
#include "tarnwick/bundle/service/errors.hpp"
#include "tarnwick/bundle/status/status.hpp"
#include "tarnwick/bundle/status/views.hpp"

namespace tarnwick::bundle {

using layout::COMPRESSION_KWARGS;
using layout::EQUITIES_INS_TYPE;
using layout::MAX_END_DATE;
using layout::MIN_START_DATE;
using layout::require_bundle_dir;
using layout::REBUILD_COMFIRM_RETRY_TIMES;
using layout::TAG_MAP;
using layout::TICK_DATE_CHUNK_SIZE;

using layout::BloscOptions;
using layout::require_blosc_filter;

using layout::describe_derivatives_record;
using layout::describe_equities_record;
using layout::describe_index_record;
using layout::FieldDescription;
using layout::RecordDescription;

using fs::set_syncing;
using host::Interrupted;
using host::set_console;
using host::set_interrupt_poll;

using service::PermissionDenied;

}  // namespace tarnwick::bundle
