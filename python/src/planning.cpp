#include "planning.hpp"

#include <string>
#include <vector>

#include "arguments.hpp"
#include "library_call.hpp"
#include "tarnwick/bundle/python_module.hpp"

namespace tarnwick::python {
namespace {

namespace tb = tarnwick::bundle;

py::object as_dict(const tb::drivers::Plan& plan) {
    return py::module_::import("json").attr("loads")(tb::commands::show_plan(plan, true));
}

std::vector<std::string> tags_or_none(const py::object& tags, const char* name) {
    return tags.is_none() ? std::vector<std::string>{} : str_collection(tags, name);
}

constexpr const char* RESULT_DOC =
    "Returns a dict: command, end_date, rebuild, base, notes, instruments (one dict per instrument and\n"
    "kind: kind, group, order_book_id, file, action, first_day, last_day, trading_days, rows, bytes,\n"
    "gap_days, note) and totals per kind (with bytes_per_second and seconds when a recent run of the\n"
    "bundle recorded its rate, else None). Nothing is fetched but instrument records, the calendar\n"
    "and (for ticks) day bars; no file is changed; rebuild deletes nothing and asks nothing.";

}  // namespace

void add_planning(py::module_& m) {
    m.def(
        "plan_update",
        [](py::object data_bundle_path, py::object base, py::object minbar, py::object tick,
           py::object with_derivatives, py::object rebuild, py::object enable_bjse) {
            const std::string root = path_like(data_bundle_path, "data_bundle_path");
            const auto minbar_tags = tags_or_none(minbar, "minbar");
            const auto tick_tags = tags_or_none(tick, "tick");
            const bool bjse = truth(enable_bjse);
            const auto plan = call_library([&] {
                tb::_init_tickwire(bjse);
                return tb::commands::plan_bundle_update(root, truth(base), minbar_tags, tick_tags,
                                                        truth(with_derivatives), truth(rebuild), bjse);
            });
            return as_dict(plan);
        },
        (std::string("plan_update(data_bundle_path, base=False, minbar=None, tick=None, with_derivatives=False, "
                     "rebuild=False, enable_bjse=False)\n--\n\n"
                     "What update_bundle_from_tickwirec with these arguments would fetch now.\n") +
         RESULT_DOC)
            .c_str(),
        py::arg("data_bundle_path"), py::arg("base") = false, py::arg("minbar") = py::none(),
        py::arg("tick") = py::none(), py::arg("with_derivatives") = false, py::arg("rebuild") = false,
        py::arg("enable_bjse") = false);
    m.def(
        "plan_update_existing",
        [](py::object data_bundle_path, py::object selection) {
            const std::string root = path_like(data_bundle_path, "data_bundle_path");
            const auto plan = call_library([&] { return tb::commands::plan_existing_update(root, truth(selection)); });
            return as_dict(plan);
        },
        (std::string("plan_update_existing(data_bundle_path, selection=False)\n--\n\n"
                     "What update_bundle_from_exist_file (with selection: update_selection) would fetch now.\n") +
         RESULT_DOC)
            .c_str(),
        py::arg("data_bundle_path"), py::arg("selection") = false);
    for (const bool minute : {true, false}) {
        const char* name = minute ? "refetch_minbar" : "refetch_tick";
        m.def(
            name,
            [minute](py::object path, py::object order_book_ids, py::object start, py::object end,
                     py::object drop_missing, py::object concurrency) {
                const std::string folder = enforced_str(path, "path");
                const auto ids = str_collection(order_book_ids, "order_book_ids");
                const std::string first = py::str(start);
                const std::string text = end.is_none() ? first : first + ":" + std::string(py::str(end));
                const int workers = enforced_int(concurrency, "concurrency");
                const bool drop = truth(drop_missing);
                return call_library([&] {
                    const auto range = tb::drivers::parse_day_range(text);
                    return minute ? tb::minbar::refetch_minbar(folder, ids, range, drop, workers)
                                  : tb::tick::refetch_tick(folder, ids, range, drop, workers);
                });
            },
            (std::string(name) +
             "(path, order_book_ids, start, end=None, drop_missing=False, concurrency=1)\n--\n\n"
             "Fetches the stored trading days start..end (YYYYMMDD or 'YYYY-MM-DD'; end None: that day\n"
             "alone; end '' : up to the last stored day) of each instrument again and replaces them in its\n"
             "file in one transaction, printing per instrument how many days were replaced with different\n"
             "content, identical, added. Days no longer served are kept unless drop_missing (never the\n"
             "newest stored day). Returns True when every file was refetched.")
                .c_str(),
            py::arg("path"), py::arg("order_book_ids"), py::arg("start"), py::arg("end") = py::none(),
            py::arg("drop_missing") = false, py::arg("concurrency") = 1);
    }
    for (const bool minute : {true, false}) {
        const char* name = minute ? "plan_update_minbar" : "plan_update_tick";
        m.def(
            name,
            [minute](py::object path, py::object tags, py::object with_derivatives, py::object rebuild,
                     py::object enable_bjse) {
                const std::string folder = enforced_str(path, "path");
                const auto words = str_collection(tags, "tags");
                const auto plan = call_library([&] {
                    const auto planner = minute ? &tb::commands::plan_minbar_update : &tb::commands::plan_tick_update;
                    return planner(folder, words, truth(with_derivatives), truth(rebuild), truth(enable_bjse));
                });
                return as_dict(plan);
            },
            (std::string(name) +
             "(path, tags, with_derivatives=False, rebuild=False, enable_bjse=False)\n--\n\n"
             "What " +
             (minute ? "update_minbar" : "update_tick") + " with these arguments would fetch now.\n" + RESULT_DOC)
                .c_str(),
            py::arg("path"), py::arg("tags"), py::arg("with_derivatives") = false, py::arg("rebuild") = false,
            py::arg("enable_bjse") = false);
    }
}

}  // namespace tarnwick::python
