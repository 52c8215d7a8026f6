#pragma once
// What the command line (apps/tarnwick-bundle) uses of the library: the entry functions
// (bundle.hpp) and what a terminal program needs around them: the check's examination and
// report, the sample archive, the status view (namespace `status`), the host's log, clock,
// progress display and stop handling, and the errors it turns into exit statuses. Like
// bundle.hpp, nothing here includes HDF5.
// It also reads records out of the store files (namespace `reading`: the `read` command) and
// audits their content (namespace `audit`: `check content`).
#include "tarnwick/bundle/audit/audit.hpp"
#include "tarnwick/bundle/bundle.hpp"
#include "tarnwick/bundle/commands/make_sample.hpp"
#include "tarnwick/bundle/commands/plan.hpp"
#include "tarnwick/bundle/minbar/refetch.hpp"
#include "tarnwick/bundle/tick/refetch.hpp"
#include "tarnwick/bundle/drivers/per_instrument.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/layout/output_guard.hpp"
#include "tarnwick/bundle/reading/export.hpp"
#include "tarnwick/bundle/reading/read.hpp"
#include "tarnwick/bundle/service/errors.hpp"
#include "tarnwick/bundle/status/status.hpp"
#include "tarnwick/bundle/status/views.hpp"

namespace tarnwick::bundle {

// The check's two halves: examining the files (in worker processes) and the report with its
// deletion question.
using checks::examine_min_bar_files;
using checks::examine_tick_files;
using checks::settle_check_result;

using commands::install_sample_bundle;
using commands::make_sample_archive;
using commands::SAMPLE_ARCHIVE_NAME;
using commands::SampleOutcome;

// How many instruments each update resolved (the command line reports an empty selection).
using drivers::observe_selections;

using fs::set_syncing;
using host::Interrupted;
using host::now;
using host::open_system_log;
using host::set_log_file;
using host::show_progress;

using layout::refuse_bundle_file_as_output;

using service::PermissionDenied;

}  // namespace tarnwick::bundle
