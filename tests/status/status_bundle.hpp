#pragma once
// Test support: a small bundle written file by file, with gaps, stale files and leftovers put
// in on purpose, so that the status figures can be checked against what was made.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/records.hpp"

namespace tarnwick::bundle::test {

// Weekdays from `first` through `last` (YYYYMMDD).
inline std::vector<int> weekdays(int first, int last) {
    std::vector<int> days;
    for (int d = first; d <= last; d = host::add_days(d, 1))
        if (host::weekday(d) != 0 && host::weekday(d) != 6) days.push_back(d);
    return days;
}

inline std::vector<int> without(std::vector<int> days, const std::vector<int>& dropped) {
    std::erase_if(days, [&](int d) { return std::find(dropped.begin(), dropped.end(), d) != dropped.end(); });
    return days;
}

inline void write_calendar(const std::filesystem::path& bundle, const std::vector<int>& days) {
    std::vector<std::int64_t> values(days.begin(), days.end());
    formats::write_npy((bundle / "trading_dates.npy").string(), values);
}

inline void write_suspensions(const std::filesystem::path& bundle,
                              const std::vector<std::pair<std::string, std::vector<int>>>& suspensions) {
    h5::File file = h5::File::create((bundle / "suspended_days.h5").string());
    for (const auto& [id, days] : suspensions) {
        std::vector<std::int64_t> values(days.begin(), days.end());
        const auto type = h5::DataType::copy(H5T_STD_I64LE);
        file.create_dataset(id, type, H5T_NATIVE_INT64, values.size(), values.data(), h5::DatasetOptions{});
    }
}

// An "equities" minute-bar file with two bars (09:31, 09:32) on each of `days`.
inline void write_minbar(const std::filesystem::path& path, const std::vector<int>& days) {
    std::filesystem::create_directories(path.parent_path());
    std::vector<layout::EquityBar> bars;
    std::vector<layout::IndexRecord> index;
    for (const int day : days) {
        index.push_back({day, static_cast<std::uint32_t>(bars.size())});
        for (const std::int64_t time : {93100, 93200}) {
            layout::EquityBar bar{};
            bar.datetime = static_cast<std::int64_t>(day) * 1000000 + time;
            bar.open = bar.high = bar.low = bar.close = 10.0;
            bars.push_back(bar);
        }
    }
    h5::File file = h5::File::create(path.string());
    h5::DatasetOptions options;
    options.resizable = true;
    options.chunk_rows = 64;
    options.deflate_level = 9;
    file.create_dataset("data", layout::EQUITIES_DTYPE(), layout::equity_bar_memory_type().id(), bars.size(),
                        bars.data(), options);
    file.create_dataset("index", layout::INDEX_DTYPE(), layout::index_memory_type().id(), index.size(), index.data(),
                        options);
}

// A tick file with one (one-record) dataset per day, plus the extra member names given, plus an
// empty dataset (a suspension mark) for each of `marks`.
inline void write_ticks(const std::filesystem::path& path, const std::vector<int>& days,
                        const std::vector<std::string>& extra_members = {}, const std::vector<int>& marks = {}) {
    std::filesystem::create_directories(path.parent_path());
    h5::File file = h5::File::create(path.string());
    const std::int32_t value = 1;
    const auto type = h5::DataType::copy(H5T_STD_I32LE);
    std::vector<std::string> names;
    for (const int day : days) names.push_back(std::to_string(day));
    names.insert(names.end(), extra_members.begin(), extra_members.end());
    for (const auto& name : names) file.create_dataset(name, type, H5T_NATIVE_INT32, 1, &value, h5::DatasetOptions{});
    for (const int day : marks)
        file.create_dataset(std::to_string(day), type, H5T_NATIVE_INT32, 0, nullptr, h5::DatasetOptions{});
}

inline void write_bytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        [[maybe_unused]] const auto written = ::write(fd, bytes.data(), bytes.size());
        ::close(fd);
    }
}

}  // namespace tarnwick::bundle::test
