#include "functions.hpp"

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "library_call.hpp"
#include "tarnwick/bundle/python_module.hpp"

namespace tarnwick::python {
namespace {

namespace tb = tarnwick::bundle;

// CPython reads a builtin's signature from the head of its docstring ("name(params)\n--\n\n"),
// so inspect.signature() and help() show the host's parameter list, and __doc__ is the text
// after it (None when there is none).
#define TARNWICK_SIGNATURE(text) text "\n--\n\n"

static_assert(tb::MIN_START_DATE == 20050104, "the signatures below spell out MIN_START_DATE");

using SelectionUpdate = bool (*)(const std::string&, const std::vector<std::string>&, bool, int, bool, bool);

// update_minbar and update_tick: `path` and `concurrency` are enforced, and `rebuild`, the one
// that deletes files, is held to rebuild_flag().
template <SelectionUpdate update>
bool selection_update(py::object path, py::object tags, py::object with_derivatives, py::object concurrency,
                      py::object rebuild, py::object enable_bjse) {
    const std::string folder = enforced_str(path, "path");
    const int workers = enforced_int(concurrency, "concurrency");
    const std::vector<std::string> words = str_collection(tags, "tags");
    const bool derivatives = truth(with_derivatives);
    const bool from_scratch = rebuild_flag(rebuild, "rebuild");
    const bool bjse = truth(enable_bjse);
    return call_library([&] { return update(folder, words, derivatives, workers, from_scratch, bjse); });
}

bool update_bundle_from_tickwirec(py::object concurrency, py::object data_bundle_path, py::object base,
                                  py::object minbar, py::object tick, py::object with_derivatives, py::object rebuild,
                                  py::object enable_bjse) {
    const std::string root = path_like(data_bundle_path, "data_bundle_path");
    const bool with_base = truth(base);
    // Tags may be None: nothing of that kind is updated, as with an empty collection.
    const auto tags_or_none = [](const py::object& tags, const char* name) {
        return tags.is_none() ? std::vector<std::string>{} : str_collection(tags, name);
    };
    const std::vector<std::string> minbar_tags = tags_or_none(minbar, "minbar");
    const std::vector<std::string> tick_tags = tags_or_none(tick, "tick");
    // Only the updates read the worker count; a call that updates nothing takes any value.
    const bool counts = with_base || !minbar_tags.empty() || !tick_tags.empty();
    const int workers = counts || PyIndex_Check(concurrency.ptr()) ? index_like(concurrency, "concurrency") : 1;
    const bool derivatives = truth(with_derivatives);
    const bool from_scratch = rebuild_flag(rebuild, "rebuild");
    const bool bjse = truth(enable_bjse);
    return call_library([&] {
        // The command expects a ready client, as the host hands it one; a fresh interpreter's
        // client has the Beijing Stock Exchange off, so its check would fail for a user who
        // asked for it. Initialised as the command line does, with the setting asked for.
        tb::_init_tickwire(bjse);
        return tb::update_bundle_from_tickwirec(workers, root, with_base, minbar_tags, tick_tags, derivatives,
                                                from_scratch, bjse);
    });
}

bool update_bundle_from_exist_file(py::object concurrency, py::object data_bundle_path) {
    const int workers = index_like(concurrency, "concurrency");
    const std::string root = path_like(data_bundle_path, "data_bundle_path");
    return call_library([&] { return tb::update_bundle_from_exist_file(workers, root); });
}

bool update_selection(py::object concurrency, py::object data_bundle_path) {
    const int workers = index_like(concurrency, "concurrency");
    const std::string root = path_like(data_bundle_path, "data_bundle_path");
    return call_library([&] { return tb::update_bundle_to_selection(workers, root); });
}

void download_simple_bundle(py::object data_bundle_path, py::object sample, py::object file_path) {
    const std::string root = path_like(data_bundle_path, "data_bundle_path");
    // `sample` is accepted with any value and not looked at: the sample archive is the only one.
    static_cast<void>(sample);
    // None, like an empty path, means: download the archive.
    const std::optional<std::string> archive =
        file_path.is_none() ? std::nullopt : std::optional<std::string>(path_like(file_path, "file_path"));
    call_library([&] { tb::download_simple_bundle(root, true, archive); });
}

void check_min_bar_data(py::object data_bundle_path) {
    const std::string root = path_like(data_bundle_path, "data_bundle_path");
    call_library([&] { tb::check_min_bar_data(root); });
}

void check_tick_data(py::object data_bundle_path) {
    const std::string root = path_like(data_bundle_path, "data_bundle_path");
    call_library([&] { tb::check_tick_data(root); });
}

void deal_with_check_result(py::object error_file_path_list, py::object blocking_or_permision_error,
                            py::object frequency) {
    const std::vector<std::string> abnormal = enforced_str_list(error_file_path_list, "error_file_path_list");
    const std::vector<std::string> blocked =
        enforced_str_list(blocking_or_permision_error, "blocking_or_permision_error");
    const std::string word = enforced_str(frequency, "frequency");
    call_library([&] { tb::deal_with_check_result(abnormal, blocked, word); });
}

void remove_h5(py::object h5_file) {
    const std::string file = enforced_str(h5_file, "h5_file");
    call_library([&] { tb::remove_h5(file); });
}

void append_h5(py::object order_book_id, py::object path, py::object file_name, py::object min_start_date,
               py::object rebuild) {
    const std::string id = enforced_str(order_book_id, "order_book_id");
    const std::string folder = enforced_str(path, "path");
    const std::optional<std::string> name = enforced_optional_str(file_name, "file_name");
    const int start = enforced_int(min_start_date, "min_start_date");
    const bool from_scratch = rebuild_flag(rebuild, "rebuild");
    call_library([&] { tb::_append_h5(id, folder, name, start, from_scratch); });
}

void append_h5_tick(py::object order_book_id, py::object path, py::object file_name, py::object min_start_date,
                    py::object rebuild) {
    // Nothing is enforced here, but the identifier has to be text and the rest what the file
    // operations take.
    const std::string id = enforced_str(order_book_id, "order_book_id");
    const std::string folder = path_like(path, "path");
    const std::optional<std::string> name =
        file_name.is_none() ? std::nullopt : std::optional<std::string>(path_like(file_name, "file_name"));
    const int start = index_like(min_start_date, "min_start_date");
    const bool from_scratch = rebuild_flag(rebuild, "rebuild");
    call_library([&] { tb::_append_h5_tick(id, folder, name, start, from_scratch); });
}

py::set merge_tags(py::object tags, py::object with_derivatives, py::object enable_bjse) {
    const std::vector<std::string> words = str_collection(tags, "tags");
    const bool derivatives = truth(with_derivatives);
    const bool bjse = truth(enable_bjse);
    return fs_text_set(call_library([&] { return tb::_merge_tags(words, derivatives, bjse); }));
}

void init_tickwire(py::object enable_bjse) {
    const bool bjse = truth(enable_bjse);
    call_library([&] { tb::_init_tickwire(bjse); });
}

void switch_of_bjse(py::object tag) {
    const bool bjse = truth(tag);
    call_library([&] { tb::_switch_of_bjse(bjse); });
}

int get_end_date() {
    return call_library([&] { return tb::_get_end_date(); });
}

// The bundle's status as plain dicts and lists: the document of `status --json`, parsed by
// Python's own json module.
py::object status(py::object data_bundle_path) {
    const std::string root = path_like(data_bundle_path, "data_bundle_path");
    const std::string document = call_library([&] { return tb::status::json_view(tb::status::bundle_status(root)); });
    return py::module_::import("json").attr("loads")(document);
}

// The content audit as plain dicts and lists: the document of `check content --json`.
py::object audit(py::object data_bundle_path, py::object concurrency) {
    const std::string root = path_like(data_bundle_path, "data_bundle_path");
    const int jobs = std::max(enforced_int(concurrency, "concurrency"), 1);
    const std::string document =
        call_library([&] { return tb::audit::json_view(tb::audit::audit_bundle(root, tb::audit::Options{jobs})); });
    return py::module_::import("json").attr("loads")(document);
}

}  // namespace

void add_functions(py::module_& m) {
    m.def("update_minbar", &selection_update<&tb::update_minbar>,
          TARNWICK_SIGNATURE("update_minbar(path, tags, with_derivatives, concurrency, rebuild=False, "
                             "enable_bjse=False)"),
          py::arg("path"), py::arg("tags"), py::arg("with_derivatives"), py::arg("concurrency"),
          py::arg("rebuild") = false, py::arg("enable_bjse") = false);
    m.def("update_tick", &selection_update<&tb::update_tick>,
          TARNWICK_SIGNATURE("update_tick(path, tags, with_derivatives, concurrency, rebuild=False, "
                             "enable_bjse=False)"),
          py::arg("path"), py::arg("tags"), py::arg("with_derivatives"), py::arg("concurrency"),
          py::arg("rebuild") = false, py::arg("enable_bjse") = false);
    m.def("update_bundle_from_tickwirec", &update_bundle_from_tickwirec,
          TARNWICK_SIGNATURE("update_bundle_from_tickwirec(concurrency, data_bundle_path, base, minbar, tick, "
                             "with_derivatives, rebuild=False, enable_bjse=False)") "通过tickwirec更新指定标的的数据",
          py::arg("concurrency"), py::arg("data_bundle_path"), py::arg("base"), py::arg("minbar"), py::arg("tick"),
          py::arg("with_derivatives"), py::arg("rebuild") = false, py::arg("enable_bjse") = false);
    m.def("update_bundle_from_exist_file", &update_bundle_from_exist_file,
          TARNWICK_SIGNATURE("update_bundle_from_exist_file(concurrency, data_bundle_path)")
              "从bundle数据中查看已存在的标的文件 进行增量更新",
          py::arg("concurrency"), py::arg("data_bundle_path"));
    m.def("update_selection", &update_selection,
          TARNWICK_SIGNATURE("update_selection(concurrency, data_bundle_path)")
              "The incremental update, and the bundle brought to its recorded selection: the tags that "
              "update_minbar, update_tick and update_bundle_from_tickwirec were given for this bundle are "
              "resolved again, and every selected instrument without a store file is fetched "
              "(`tarnwick-bundle update-existing ROOT --selection`).",
          py::arg("concurrency"), py::arg("data_bundle_path"));
    m.def("download_simple_bundle", &download_simple_bundle,
          TARNWICK_SIGNATURE("download_simple_bundle(data_bundle_path, sample, file_path=None)"),
          py::arg("data_bundle_path"), py::arg("sample"), py::arg("file_path") = py::none());
    m.def("check_min_bar_data", &check_min_bar_data, TARNWICK_SIGNATURE("check_min_bar_data(data_bundle_path)"),
          py::arg("data_bundle_path"));
    m.def("check_tick_data", &check_tick_data, TARNWICK_SIGNATURE("check_tick_data(data_bundle_path)"),
          py::arg("data_bundle_path"));
    m.def("deal_with_check_result", &deal_with_check_result,
          TARNWICK_SIGNATURE("deal_with_check_result(error_file_path_list, blocking_or_permision_error, frequency)"),
          py::arg("error_file_path_list"), py::arg("blocking_or_permision_error"), py::arg("frequency"));
    m.def("remove_h5", &remove_h5, TARNWICK_SIGNATURE("remove_h5(h5_file)"), py::arg("h5_file"));
    m.def("_append_h5", &append_h5,
          TARNWICK_SIGNATURE("_append_h5(order_book_id, path, file_name=None, min_start_date=20050104, rebuild=False)"),
          py::arg("order_book_id"), py::arg("path"), py::arg("file_name") = py::none(),
          py::arg("min_start_date") = tb::MIN_START_DATE, py::arg("rebuild") = false);
    m.def("_append_h5_tick", &append_h5_tick,
          TARNWICK_SIGNATURE("_append_h5_tick(order_book_id, path, file_name=None, min_start_date=20050104, "
                             "rebuild=False)") "更新tick级h5文件",
          py::arg("order_book_id"), py::arg("path"), py::arg("file_name") = py::none(),
          py::arg("min_start_date") = tb::MIN_START_DATE, py::arg("rebuild") = false);
    m.def("_merge_tags", &merge_tags, TARNWICK_SIGNATURE("_merge_tags(tags, with_derivatives, enable_bjse=False)"),
          py::arg("tags"), py::arg("with_derivatives"), py::arg("enable_bjse") = false);
    m.def("_init_tickwire", &init_tickwire, TARNWICK_SIGNATURE("_init_tickwire(enable_bjse=False)"),
          py::arg("enable_bjse") = false);
    m.def("_switch_of_bjse", &switch_of_bjse, TARNWICK_SIGNATURE("_switch_of_bjse(tag)"), py::arg("tag"));
    m.def("_get_end_date", &get_end_date, TARNWICK_SIGNATURE("_get_end_date()"));
    m.def("status", &status,
          TARNWICK_SIGNATURE("status(data_bundle_path)")
              "What the bundle holds: per store file its days, gaps, size and flags, and a summary per group "
              "(the document of `tarnwick-bundle status --json`, as dicts and lists).",
          py::arg("data_bundle_path"));
    m.def("audit", &audit,
          TARNWICK_SIGNATURE("audit(data_bundle_path, concurrency=1)")
              "What the bars and ticks themselves show, read-only: a dict with the list `findings` (dicts "
              "with kind, instrument, date, store, reason, path), `counts` per kind, `skipped` files and "
              "`clean` (the document of `tarnwick-bundle check content --json`).",
          py::arg("data_bundle_path"), py::arg("concurrency") = py::int_(1));
}

}  // namespace tarnwick::python
