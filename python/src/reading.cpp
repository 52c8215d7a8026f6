#include "reading.hpp"

#include <pybind11/numpy.h>

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

std::span<const unsigned char> bytes_of(const py::array& records) {
    return {static_cast<const unsigned char*>(records.data()), static_cast<std::size_t>(records.nbytes())};
}

py::object datetime_index(rd::RecordKind kind, const py::array& records) {
    py::array_t<std::int64_t> ns(records.size());
    rd::timestamps(kind, bytes_of(records), {ns.mutable_data(), static_cast<std::size_t>(ns.size())});
    return pandas().attr("DatetimeIndex")(ns.attr("view")("M8[ns]"), py::arg("name") = "datetime");
}

// Minute bars: the fields but `datetime`, indexed by it.
py::object bar_frame(rd::RecordKind kind, const py::array& records) {
    py::dict columns;
    for (const auto& field : rd::describe(kind).fields)
        if (field.name != "datetime") columns[py::str(field.name)] = records[py::str(field.name)];
    return pandas().attr("DataFrame")(columns, py::arg("index") = datetime_index(kind, records));
}

// Ticks: prices scaled back to floats, `tick_volume` (each tick's own) beside the cumulative
// `volume`, indexed by the tick's date and time.
py::object tick_frame(const py::array& records, const rd::ReadResult& result) {
    const py::module_ numpy = py::module_::import("numpy");
    py::dict columns;
    for (const auto& field : rd::describe(rd::RecordKind::Ticks).fields) {
        const py::object values = records[py::str(field.name)];
        columns[py::str(field.name)] =
            field.scale == 1.0 ? values : numpy.attr("true_divide")(values, py::float_(field.scale));
        if (field.name == "volume") {
            py::array_t<std::int64_t> own(records.size());
            rd::tick_volumes(bytes_of(records), result.days,
                             {own.mutable_data(), static_cast<std::size_t>(own.size())});
            columns["tick_volume"] = own;
        }
    }
    return pandas().attr("DataFrame")(columns, py::arg("index") = datetime_index(rd::RecordKind::Ticks, records));
}

template <bool ticks>
py::object read(py::object root, py::object order_book_id, py::object start, py::object end, py::object as_frame) {
    const std::string folder = path_like(root, "root");
    const std::string id = enforced_str(order_book_id, "order_book_id");
    const rd::DayRange days{trading_day(start, "start"), trading_day(end, "end")};
    // As strict as rebuild: "False" is true in Python, and a DataFrame where an array was asked
    // for is a surprise a type check catches.
    const bool frame = rebuild_flag(as_frame, "as_frame");
    bundle::require_bundle_dir(folder);
    py::array records;
    rd::ReadResult result;
    {
        const H5pyLock lock;
        const rd::Allocate allocate = [&records](rd::RecordKind kind, std::size_t rows) -> void* {
            records = py::array(py::dtype::from_args(numpy_dtype(rd::describe(kind))),
                                std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows)});
            return records.mutable_data();
        };
        result = ticks ? rd::read_ticks(folder, id, days, allocate) : rd::read_minbar(folder, id, days, allocate);
    }
    if (!frame) return records;
    return ticks ? tick_frame(records, result) : bar_frame(result.kind, records);
}

constexpr const char* READ_MINBAR_DOC =
    "read_minbar(root, order_book_id, start=None, end=None, as_frame=False)\n--\n\n"
    "Read the minute bars of one instrument for a range of trading days.\n\n"
    "Only the chunks that hold those days are read and inflated (through the file's day index), under\n"
    "the shared side of the lock that updates take: a file an update is writing raises BlockingIOError.\n\n"
    "Parameters:\n"
    "  root           the data folder that holds bundle/ (str or path-like)\n"
    "  order_book_id  the instrument, e.g. '000001.XSHE' or 'IF2612'; its file is found in any group\n"
    "                 folder of bundle/h5 (equities, future, option)\n"
    "  start, end     first and last trading day, both inclusive: an int or str YYYYMMDD, 'YYYY-MM-DD'\n"
    "                 or a datetime.date; None: from the first / to the last day held. Night-session\n"
    "                 bars of futures belong to the next trading day.\n"
    "  as_frame       False: a NumPy structured array of the stored record type (EQUITIES_DTYPE, or\n"
    "                 DERIVATIVES_DTYPE for futures and options); True: a pandas DataFrame of the\n"
    "                 other fields indexed by the bar time (DatetimeIndex 'datetime'; needs pandas)\n\n"
    "Returns the array or DataFrame; days the file does not hold give no rows (an empty result).\n\n"
    "Raises FileNotFoundError when the instrument has no minute-bar file, BlockingIOError when an\n"
    "update holds it, OSError when an update was stopped on it (its journal is left: run\n"
    "`tarnwick-bundle check minbar ROOT` or the next update first), ValueError for a day that is no\n"
    "date or a start after the end, TypeError for arguments of the wrong type, ImportError for\n"
    "as_frame=True without pandas, RuntimeError for a damaged file.";

constexpr const char* READ_TICKS_DOC =
    "read_ticks(root, order_book_id, start=None, end=None, as_frame=False)\n--\n\n"
    "Read the ticks of one instrument for a range of trading days.\n\n"
    "Only the day datasets in the range are opened, their Blosc chunks decoded directly, under the\n"
    "shared side of the lock that updates take.\n\n"
    "Parameters:\n"
    "  root           the data folder that holds bundle/ (str or path-like)\n"
    "  order_book_id  the instrument, e.g. '000001.XSHE'; its file is bundle/ticks/<id>.h5\n"
    "  start, end     first and last trading day, both inclusive: an int or str YYYYMMDD, 'YYYY-MM-DD'\n"
    "                 or a datetime.date; None: from the first / to the last day held\n"
    "  as_frame       False: a NumPy structured array of the stored tick record (prices x10000 as\n"
    "                 integers, volume and total_turnover cumulative over the trading day); True: a\n"
    "                 pandas DataFrame indexed by the tick's date and time (DatetimeIndex 'datetime'),\n"
    "                 prices divided back to floats and 'tick_volume', each tick's own volume, beside\n"
    "                 the cumulative 'volume' (needs pandas)\n\n"
    "Returns the array or DataFrame, the days in order; a suspended day (an empty dataset) and days the\n"
    "file does not hold give no rows.\n\n"
    "Raises FileNotFoundError when the instrument has no tick file, BlockingIOError when an update\n"
    "holds it, OSError when an update was stopped on it (its journal is left: run\n"
    "`tarnwick-bundle check tick ROOT` or the next update first), ValueError for a day that is no date\n"
    "or a start after the end, TypeError for arguments of the wrong type, ImportError for\n"
    "as_frame=True without pandas, RuntimeError for a damaged file.";

}  // namespace

void add_reading(py::module_& m) {
    m.def("read_minbar", &read<false>, READ_MINBAR_DOC, py::arg("root"), py::arg("order_book_id"),
          py::arg("start") = py::none(), py::arg("end") = py::none(), py::arg("as_frame") = false);
    m.def("read_ticks", &read<true>, READ_TICKS_DOC, py::arg("root"), py::arg("order_book_id"),
          py::arg("start") = py::none(), py::arg("end") = py::none(), py::arg("as_frame") = false);
}

}  // namespace tarnwick::python
