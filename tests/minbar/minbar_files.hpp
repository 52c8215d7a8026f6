#pragma once
// Test support for the minute-bar store: reading a store file back into plain records, writing
// damaged files on purpose, and comparing records with readable failure output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/service/client.hpp"

namespace tarnwick::bundle::layout {

// The records have no padding (static_asserts in records.hpp), so byte equality is field
// equality, NaNs included.
inline bool operator==(const EquityBar& a, const EquityBar& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool operator==(const DerivativeBar& a, const DerivativeBar& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool operator==(const IndexRecord& a, const IndexRecord& b) {
    return a.date == b.date && a.line_no == b.line_no;
}

inline void PrintTo(const EquityBar& b, std::ostream* os) {
    *os << "{" << b.datetime << " o=" << b.open << " h=" << b.high << " l=" << b.low << " c=" << b.close
        << " v=" << b.volume << " t=" << b.total_turnover << "}";
}
inline void PrintTo(const DerivativeBar& b, std::ostream* os) {
    *os << "{" << b.datetime << " o=" << b.open << " h=" << b.high << " l=" << b.low << " c=" << b.close
        << " oi=" << b.open_interest << " v=" << b.volume << " t=" << b.total_turnover << "}";
}
inline void PrintTo(const IndexRecord& r, std::ostream* os) { *os << "{" << r.date << ", " << r.line_no << "}"; }

}  // namespace tarnwick::bundle::layout

namespace tarnwick::bundle::test {

// Installs a service client for one scope and puts the previous one back.
class ScopedClient {
public:
    explicit ScopedClient(std::unique_ptr<service::Client> client) : previous_(service::install(std::move(client))) {}
    ~ScopedClient() { service::install(std::move(previous_)); }
    ScopedClient(const ScopedClient&) = delete;
    ScopedClient& operator=(const ScopedClient&) = delete;

private:
    std::unique_ptr<service::Client> previous_;
};

template <class Bar>
inline h5::DataType bar_memory_type() {
    if constexpr (std::is_same_v<Bar, layout::EquityBar>)
        return layout::equity_bar_memory_type();
    else
        return layout::derivative_bar_memory_type();
}
template <class Bar>
inline h5::DataType bar_file_type() {
    if constexpr (std::is_same_v<Bar, layout::EquityBar>)
        return layout::EQUITIES_DTYPE();
    else
        return layout::DERIVATIVES_DTYPE();
}

// Everything a minute-bar store file holds, as records.
template <class Bar>
struct Store {
    std::vector<std::string> members;
    std::vector<layout::IndexRecord> index;
    std::vector<Bar> data;
};

template <class Bar>
inline Store<Bar> read_store(const std::filesystem::path& file_path) {
    Store<Bar> store;
    const h5::File file = h5::File::open(file_path.string(), h5::File::Access::ReadOnly);
    store.members = file.members();
    if (file.contains("index")) {
        const auto memory = layout::index_memory_type();
        store.index = file.open_dataset("index").read_all<layout::IndexRecord>(memory.id());
    }
    if (file.contains("data")) {
        const auto memory = bar_memory_type<Bar>();
        store.data = file.open_dataset("data").read_all<Bar>(memory.id());
    }
    return store;
}

inline std::vector<layout::IndexRecord> read_index(const std::filesystem::path& file_path) {
    const h5::File file = h5::File::open(file_path.string(), h5::File::Access::ReadOnly);
    const auto memory = layout::index_memory_type();
    return file.open_dataset("index").read_all<layout::IndexRecord>(memory.id());
}

// Writes "data" (and "index" unless null) the way the store creates them: resizable, chunked,
// deflate 9. Used to make files in states an update has to cope with.
template <class Bar>
inline void write_store(const std::filesystem::path& file_path, const std::vector<Bar>& data,
                        const std::vector<layout::IndexRecord>* index) {
    h5::File file = h5::File::create(file_path.string());
    h5::DatasetOptions options;
    options.resizable = true;
    options.chunk_rows = 256;
    options.deflate_level = 9;
    const auto bar_memory = bar_memory_type<Bar>();
    file.create_dataset("data", bar_file_type<Bar>(), bar_memory.id(), data.size(), data.data(), options);
    if (index) {
        const auto index_memory = layout::index_memory_type();
        file.create_dataset("index", layout::INDEX_DTYPE(), index_memory.id(), index->size(), index->data(), options);
    }
    file.close();
}

// The day index a consistent file of these bars has, trading date = the bar's calendar date.
template <class Bar>
inline std::vector<layout::IndexRecord> calendar_index(const std::vector<Bar>& data) {
    std::vector<layout::IndexRecord> index;
    for (std::size_t row = 0; row < data.size(); ++row) {
        const auto date = static_cast<std::int32_t>(data[row].datetime / 1000000);
        if (index.empty() || index.back().date != date) index.push_back({date, static_cast<std::uint32_t>(row)});
    }
    return index;
}

// Names of the directory's entries, sorted; empty when the directory does not exist.
inline std::vector<std::string> entries(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tarnwick::bundle::test
