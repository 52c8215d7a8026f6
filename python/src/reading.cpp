#include "reading.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "constants.hpp"
#include "tarnwick/bundle/python_module.hpp"

namespace tarnwick::python {
namespace {

namespace rd = tarnwick::bundle::reading;

// A trading day given as an int (or numpy integer) YYYYMMDD, as text "YYYYMMDD" or
// "YYYY-MM-DD", or as a date (datetime.date, datetime.datetime, pandas.Timestamp); None: open.
std::optional<int> trading_day(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    if (!PyBool_Check(value.ptr()) && PyIndex_Check(value.ptr())) {
        const auto day = value.cast<long long>();
        if (day < 0 || day > 99991231) throw py::value_error(std::string(name) + " is not a trading day YYYYMMDD");
        return static_cast<int>(day);
    }
    if (py::isinstance<py::str>(value)) {
        std::string text = value.cast<std::string>();
        if (text.size() == 10 && text[4] == '-' && text[7] == '-')
            text = text.substr(0, 4) + text.substr(5, 2) + text.substr(8);
        if (text.size() != 8 || text.find_first_not_of("0123456789") != std::string::npos)
            throw py::value_error(std::string(name) + " \"" + value.cast<std::string>() +
                                  "\" is not a trading day YYYYMMDD or YYYY-MM-DD");
        return std::stoi(text);
    }
    if (py::hasattr(value, "year") && py::hasattr(value, "month") && py::hasattr(value, "day"))
        return value.attr("year").cast<int>() * 10000 + value.attr("month").cast<int>() * 100 +
               value.attr("day").cast<int>();
    throw py::type_error(std::string(name) + " must be a trading day: an int or str YYYYMMDD or a datetime.date, not " +
                         std::string(py::str(value.get_type().attr("__name__"))));
}

// h5py calls HDF5 under its lock `phil`, partly without the GIL; a read holds it too (when the
// host loaded h5py), so no h5py thread is inside HDF5 meanwhile. The read itself keeps the GIL.
class H5pyLock {
public:
    H5pyLock() {
        const py::dict modules = py::module_::import("sys").attr("modules");
        if (modules.contains("h5py._objects")) {
            lock_ = modules["h5py._objects"].attr("phil");
            lock_.attr("acquire")();
        }
    }
    ~H5pyLock() {
        if (lock_) lock_.attr("release")();
    }
    H5pyLock(const H5pyLock&) = delete;
    H5pyLock& operator=(const H5pyLock&) = delete;

private:
    py::object lock_;
};

py::module_ pandas() {
    try {
        return py::module_::import("pandas");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        throw py::import_error(
            "as_frame=True needs pandas (Debian: python3-pandas); without it, as_frame=False "
            "returns the NumPy array");
    }
}

std::size_t value_size(const std::string& numpy_code) { return numpy_code.ends_with('4') ? 4 : 8; }

const bundle::FieldDescription* find_field(const bundle::RecordDescription& record, const std::string& name) {
    for (const auto& field : record.fields)
        if (field.name == name) return &field;
    return nullptr;
}

std::string field_names(const bundle::RecordDescription& record, const char* extra) {
    std::string names;
    for (const auto& field : record.fields) names += (names.empty() ? "" : ", ") + field.name;
    return names + extra;
}

// The NumPy type of each record kind's arrays in one call: NumPy takes tens of microseconds to
// make a structured type, as long as a month of a file takes to read.
using ArrayTypes = std::array<std::optional<py::dtype>, 3>;

// Arrays: the stored record type, or a packed one of the fields asked for, in their order.
py::object member_array(const rd::PanelMember& member, const std::optional<std::vector<std::string>>& fields,
                        std::vector<rd::Sink>& sinks, ArrayTypes& types) {
    const bundle::RecordDescription record = rd::describe(member.kind);
    const auto rows = std::vector<py::ssize_t>{static_cast<py::ssize_t>(member.rows)};
    std::optional<py::dtype>& type = types[static_cast<std::size_t>(member.kind)];
    if (!fields) {
        if (!type) type = py::dtype::from_args(numpy_dtype(record));
        py::array array(*type, rows);
        sinks.push_back({rd::Sink::Form::Bytes, 0, record.itemsize, 1.0,
                         static_cast<unsigned char*>(array.mutable_data()), record.itemsize});
        return array;
    }
    py::list layout;
    std::size_t itemsize = 0;
    for (const std::string& name : *fields) {
        const bundle::FieldDescription* field = find_field(record, name);
        if (field == nullptr)
            throw py::value_error("no field \"" + name + "\" in the records of " + member.order_book_id + " (" +
                                  field_names(record, "") + ")");
        layout.append(py::make_tuple(name, field->numpy_code));
        itemsize += value_size(field->numpy_code);
    }
    if (!type) type = py::dtype::from_args(layout);
    py::array array(*type, rows);
    auto* base = static_cast<unsigned char*>(array.mutable_data());
    for (const std::string& name : *fields) {
        const bundle::FieldDescription* field = find_field(record, name);
        sinks.push_back({rd::Sink::Form::Bytes, field->offset, value_size(field->numpy_code), 1.0, base, itemsize});
        base += value_size(field->numpy_code);
    }
    return array;
}

// One column of a frame, across all members: its values and where each member's rows go.
struct FrameColumn {
    std::string name;
    py::array values;
};

// Frames: the columns of the record (union of the members' kinds) but the time, tick prices
// as floats with `tick_volume` beside the cumulative `volume`, and `trading_date`.
// `read_into` reads the records into the sinks; the DataFrame is made after it, since pandas
// copies the columns into its blocks.
py::object panel_frame(const rd::PanelReader& reader, std::optional<std::vector<std::string>> fields, bool ticks,
                       bool single, std::vector<std::vector<rd::Sink>>& sinks, const std::function<void()>& read_into) {
    const auto& members = reader.members();
    const py::module_ numpy = py::module_::import("numpy");
    bool stocks = false, derivatives = false;
    for (const auto& member : members)
        (member.kind == rd::RecordKind::DerivativeBars ? derivatives : stocks) = true;
    const bundle::RecordDescription record = rd::describe(
        ticks ? rd::RecordKind::Ticks : derivatives ? rd::RecordKind::DerivativeBars : rd::RecordKind::EquityBars);
    if (!fields) {
        fields.emplace();
        for (const auto& field : record.fields) {
            if (field.name == "datetime") continue;
            fields->push_back(field.name);
            if (ticks && field.name == "volume") fields->push_back("tick_volume");
        }
    }
    if (std::find(fields->begin(), fields->end(), "trading_date") == fields->end()) fields->push_back("trading_date");
    const auto rows = static_cast<py::ssize_t>(reader.rows());
    py::dict columns;
    const auto add = [&](const std::string& name, const char* dtype) {
        if (columns.contains(name)) throw py::value_error("the field \"" + name + "\" is asked for twice");
        py::array values(py::dtype(dtype), std::vector<py::ssize_t>{rows});
        columns[py::str(name)] = values;
        return std::pair{static_cast<unsigned char*>(values.mutable_data()), values};
    };
    for (const std::string& name : *fields) {
        if (name == "datetime" && !ticks) continue;  // the index
        if (name == "trading_date") {
            auto [base, values] = add(name, "M8[ns]");
            std::size_t row = 0;
            for (std::size_t m = 0; m < members.size(); row += members[m++].rows)
                sinks[m].push_back({rd::Sink::Form::TradingDayNanoseconds, 0, 8, 1.0, base + row * 8, 8});
            continue;
        }
        const bundle::FieldDescription* field =
            find_field(record, name == "tick_volume" && ticks ? std::string("volume") : name);
        if (field == nullptr)
            throw py::value_error("no column \"" + name + "\" in a frame of " + (ticks ? "ticks" : "minute bars") +
                                  " (" + field_names(record, ticks ? ", tick_volume, trading_date" : ", trading_date") +
                                  "; datetime is the index)");
        // Stocks have no open interest: beside futures their rows hold NaN (so the column is float).
        const bool mixed_open_interest = name == "open_interest" && stocks && derivatives;
        const bool scaled = field->scale != 1.0 && name != "tick_volume";
        auto [base, values] =
            add(name, scaled || mixed_open_interest ? "<f8" : name == "tick_volume" ? "<i8" : field->numpy_code.c_str());
        const std::size_t size = value_size(name == "tick_volume" ? "<i8" : field->numpy_code);
        // Offsets differ between the record kinds of a panel (futures' open_interest comes first).
        const bundle::RecordDescription own[] = {rd::describe(rd::RecordKind::EquityBars),
                                                  rd::describe(rd::RecordKind::DerivativeBars)};
        std::size_t row = 0;
        for (std::size_t m = 0; m < members.size(); row += members[m++].rows) {
            unsigned char* at = base + row * (scaled || mixed_open_interest ? 8 : size);
            if (mixed_open_interest && members[m].kind == rd::RecordKind::EquityBars) {
                std::fill_n(reinterpret_cast<double*>(at), members[m].rows, std::numeric_limits<double>::quiet_NaN());
                continue;
            }
            if (!ticks)
                field = find_field(own[members[m].kind == rd::RecordKind::DerivativeBars], name);
            if (name == "tick_volume")
                sinks[m].push_back({rd::Sink::Form::TickVolume, field->offset, 8, 1.0, at, 8});
            else if (scaled)
                sinks[m].push_back({rd::Sink::Form::Scaled, field->offset, 8, field->scale, at, 8});
            else if (mixed_open_interest)
                sinks[m].push_back({rd::Sink::Form::Double, field->offset, 8, 1.0, at, 8});
            else
                sinks[m].push_back({rd::Sink::Form::Bytes, field->offset, size, 1.0, at, size});
        }
    }
    py::array_t<std::int64_t> times(rows);
    std::size_t row = 0;
    for (std::size_t m = 0; m < members.size(); row += members[m++].rows)
        sinks[m].push_back({rd::Sink::Form::Nanoseconds, 0, 8, 1.0,
                            reinterpret_cast<unsigned char*>(times.mutable_data()) + row * 8, 8});
    read_into();
    const py::module_ pd = pandas();
    const py::object datetimes = pd.attr("DatetimeIndex")(times.attr("view")("M8[ns]"), py::arg("name") = "datetime");
    py::object index = datetimes;
    if (!single) {
        py::list ids;
        py::array_t<std::int32_t> codes(rows);
        std::size_t at = 0;
        for (std::size_t m = 0; m < members.size(); ++m) {
            ids.append(py::str(members[m].order_book_id));
            std::fill_n(codes.mutable_data() + at, members[m].rows, static_cast<std::int32_t>(m));
            at += members[m].rows;
        }
        const py::object categories = pd.attr("Categorical").attr("from_codes")(codes, py::arg("categories") = ids);
        index = pd.attr("MultiIndex").attr("from_arrays")(py::make_tuple(categories, datetimes),
                                                          py::arg("names") = py::make_tuple("order_book_id", "datetime"));
    }
    (void)numpy;
    return pd.attr("DataFrame")(columns, py::arg("index") = index, py::arg("copy") = false);
}

template <bool ticks>
py::object read(py::object root, py::object order_book_id, py::object start, py::object end, py::object as_frame,
                py::object fields_arg, py::object missing_arg, py::object threads_arg) {
    const std::string folder = path_like(root, "root");
    const bool single = py::isinstance<py::str>(order_book_id);
    rd::PanelRequest request;
    request.order_book_ids = single ? std::vector<std::string>{enforced_str(order_book_id, "order_book_id")}
                                    : str_collection(order_book_id, "order_book_id");
    request.days = {trading_day(start, "start"), trading_day(end, "end")};
    request.ticks = ticks;
    // As strict as rebuild: "False" is true in Python, and a DataFrame where an array was asked
    // for is a surprise a type check catches.
    const bool frame = rebuild_flag(as_frame, "as_frame");
    bundle::require_bundle_dir(folder);
    std::optional<std::vector<std::string>> fields;
    if (!fields_arg.is_none()) {
        fields = py::isinstance<py::str>(fields_arg) ? std::vector<std::string>{fields_arg.cast<std::string>()}
                                                   : str_collection(fields_arg, "fields");
        for (std::size_t i = 0; i < fields->size(); ++i)
            if (std::find(fields->begin(), fields->begin() + static_cast<std::ptrdiff_t>(i), (*fields)[i]) !=
                fields->begin() + static_cast<std::ptrdiff_t>(i))
                throw py::value_error("the field \"" + (*fields)[i] + "\" is asked for twice");
    }
    const std::string missing = enforced_str(missing_arg, "missing");
    if (missing != "raise" && missing != "skip")
        throw py::value_error("missing must be \"raise\" or \"skip\", not \"" + missing + "\"");
    // One identifier asked for by itself is never skipped: the caller wants that one.
    request.missing = missing == "skip" && !single ? rd::Missing::Skip : rd::Missing::Raise;
    if (!threads_arg.is_none()) {
        const int threads = index_like(threads_arg, "threads");
        if (threads < 1) throw py::value_error("threads must be at least 1");
        request.threads = static_cast<unsigned>(threads);
    }
    if (frame) pandas();  // before any file is read

    const H5pyLock lock;
    std::optional<rd::PanelReader> reader;
    {
        const py::gil_scoped_release released;
        reader.emplace(folder, request);
        if (frame) reader->plan();  // one frame: its size first
    }
    const auto& members = reader->members();
    if (frame) {
        std::vector<std::vector<rd::Sink>> sinks(members.size());
        return panel_frame(*reader, fields, ticks, single, sinks, [&] {
            const py::gil_scoped_release released;
            reader->read([&sinks](std::size_t m) { return sinks[m]; });
        });
    }
    // Arrays: each made as soon as its file's rows are counted, while the pool reads earlier ones.
    py::dict arrays;
    ArrayTypes types;
    {
        const py::gil_scoped_release released;
        reader->read([&](std::size_t m) {
            const py::gil_scoped_acquire gil;
            std::vector<rd::Sink> sinks;
            arrays[py::str(members[m].order_book_id)] = member_array(members[m], fields, sinks, types);
            return sinks;
        });
    }  // the files are closed when `reader` goes, before `lock`
    if (!single) return arrays;
    return arrays[py::str(members.front().order_book_id)];
}

constexpr const char* READ_MINBAR_DOC =
    "read_minbar(root, order_book_id, start=None, end=None, as_frame=False, fields=None, missing='raise', threads=None)\n--\n\n"
    "Read the minute bars of one instrument for a range of trading days.\n\n"
    "Given a list of instruments, reads them all in one call: a panel.\n"
    "Only the chunks that hold those days are read (through each file's day index) and inflated, on\n"
    "`threads` threads at once. Each file stays open from its day index being read until its last\n"
    "chunk is fetched, so no update commits into it in between.\n\n"
    "Parameters:\n"
    "  root           the data folder that holds bundle/ (str or path-like)\n"
    "  order_book_id  the instrument, e.g. '000001.XSHE' or 'IF2612' (its file is found in any group\n"
    "                 folder of bundle/h5: equities, future, option), or a list of them: a panel\n"
    "  start, end     first and last trading day, both inclusive: an int or str YYYYMMDD, 'YYYY-MM-DD'\n"
    "                 or a datetime.date; None: from the first / to the last day held. Night-session\n"
    "                 bars of futures belong to the next trading day.\n"
    "  as_frame       False: NumPy structured arrays of the stored record type (EQUITIES_DTYPE, or\n"
    "                 DERIVATIVES_DTYPE for futures and options); True: a pandas DataFrame of the\n"
    "                 other fields and 'trading_date' (datetime64), indexed by the bar time\n"
    "                 ('datetime'), for a panel by ('order_book_id', 'datetime'); needs pandas.\n"
    "                 In a frame of stocks and futures together, stocks' 'open_interest' is NaN.\n"
    "  fields         None: all; or a list of field names: arrays of only those fields (packed, in\n"
    "                 that order), frames of only those columns (and 'trading_date')\n"
    "  missing        'raise': an instrument without a file raises one FileNotFoundError naming all\n"
    "                 of them; 'skip': it is left out of the panel\n"
    "  threads        threads that inflate chunks; None: the machine's cores\n\n"
    "Returns, for one identifier, the array or DataFrame; for a list, a dict {order_book_id: array}\n"
    "in the order asked for, or one long DataFrame; days a file does not hold give no rows.\n\n"
    "Reads the last committed state, also while an update runs (waiting only for a commit window).\n\n"
    "Raises FileNotFoundError when an instrument has no minute-bar file, BlockingIOError when a\n"
    "commit window outlasts the wait (TARNWICK_READ_WAIT_SECONDS), ValueError for a day that is no\n"
    "date or a start after the end or an unknown field, TypeError for arguments of the wrong type,\n"
    "ImportError for as_frame=True without pandas, RuntimeError for a damaged file.";

constexpr const char* READ_TICKS_DOC =
    "read_ticks(root, order_book_id, start=None, end=None, as_frame=False, fields=None, missing='raise', threads=None)\n--\n\n"
    "Read the ticks of one instrument for a range of trading days.\n\n"
    "Given a list of instruments, reads them all in one call: a panel.\n"
    "Only the day datasets in the range are opened, their Blosc chunks decoded directly on `threads`\n"
    "threads at once.\n\n"
    "Parameters:\n"
    "  root           the data folder that holds bundle/ (str or path-like)\n"
    "  order_book_id  the instrument, e.g. '000001.XSHE' (its file is bundle/ticks/<id>.h5), or a list\n"
    "                 of them: a panel\n"
    "  start, end     first and last trading day, both inclusive: an int or str YYYYMMDD, 'YYYY-MM-DD'\n"
    "                 or a datetime.date; None: from the first / to the last day held\n"
    "  as_frame       False: NumPy structured arrays of the stored tick record (prices x10000 as\n"
    "                 integers, volume and total_turnover cumulative over the trading day); True: a\n"
    "                 pandas DataFrame indexed by the tick's date and time ('datetime'), for a panel\n"
    "                 by ('order_book_id', 'datetime'), prices divided back to floats, 'tick_volume'\n"
    "                 (each tick's own volume) beside the cumulative 'volume', and 'trading_date'\n"
    "                 (datetime64; night ticks carry the calendar date in 'date'); needs pandas\n"
    "  fields         None: all; or a list of field names: arrays of only those fields (packed, in\n"
    "                 that order), frames of only those columns (and 'trading_date')\n"
    "  missing        'raise': an instrument without a file raises one FileNotFoundError naming all\n"
    "                 of them; 'skip': it is left out of the panel\n"
    "  threads        threads that decode chunks; None: the machine's cores\n\n"
    "Returns, for one identifier, the array or DataFrame, the days in order; for a list, a dict\n"
    "{order_book_id: array} in the order asked for, or one long DataFrame. A suspended day (an empty\n"
    "dataset) and days the file does not hold give no rows.\n\n"
    "Reads the last committed state, also while an update runs (waiting only for a commit window).\n\n"
    "Raises FileNotFoundError when an instrument has no tick file, BlockingIOError when a\n"
    "commit window outlasts the wait (TARNWICK_READ_WAIT_SECONDS), ValueError for a day that is no date\n"
    "or a start after the end or an unknown field, TypeError for arguments of the wrong type,\n"
    "ImportError for as_frame=True without pandas, RuntimeError for a damaged file.";

}  // namespace

void add_reading(py::module_& m) {
    m.def("read_minbar", &read<false>, READ_MINBAR_DOC, py::arg("root"), py::arg("order_book_id"),
          py::arg("start") = py::none(), py::arg("end") = py::none(), py::arg("as_frame") = false,
          py::arg("fields") = py::none(), py::arg("missing") = "raise", py::arg("threads") = py::none());
    m.def("read_ticks", &read<true>, READ_TICKS_DOC, py::arg("root"), py::arg("order_book_id"),
          py::arg("start") = py::none(), py::arg("end") = py::none(), py::arg("as_frame") = false,
          py::arg("fields") = py::none(), py::arg("missing") = "raise", py::arg("threads") = py::none());
}

}  // namespace tarnwick::python
