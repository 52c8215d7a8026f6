#include "tarnwick/bundle/status/wire.hpp"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace tarnwick::bundle::status {
namespace {

// Both ends are the same program on the same machine: values travel in native layout.
class Writer {
public:
    template <class T>
    requires std::is_arithmetic_v<T>
    void put(T value) { out_.append(reinterpret_cast<const char*>(&value), sizeof value); }
    void put(const std::string& text) {
        put(static_cast<std::uint32_t>(text.size()));
        out_ += text;
    }
    template <class T>
    void put(const std::optional<T>& value) {
        put(static_cast<std::uint8_t>(value.has_value()));
        if (value) put(*value);
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    template <class T>
    requires std::is_arithmetic_v<T> T get() {
        T value;
        need(sizeof value);
        std::memcpy(&value, in_.data(), sizeof value);
        in_.remove_prefix(sizeof value);
        return value;
    }
    std::string text() {
        const auto size = get<std::uint32_t>();
        need(size);
        std::string value(in_.substr(0, size));
        in_.remove_prefix(size);
        return value;
    }
    template <class T>
    std::optional<T> optional() {
        if (!get<std::uint8_t>()) return std::nullopt;
        return get<T>();
    }
    bool done() const { return in_.empty(); }

private:
    void need(std::size_t size) const {
        if (in_.size() < size) throw std::runtime_error("a file status arrived cut short");
    }
    std::string_view in_;
};

}  // namespace

std::string encode(const FileStatus& f) {
    Writer w;
    w.put(static_cast<std::uint8_t>(f.kind));
    w.put(f.path);
    w.put(f.group);
    w.put(f.instrument);
    w.put(static_cast<std::uint8_t>(f.exists));
    w.put(f.first_date);
    w.put(f.last_date);
    w.put(f.delisted_date);
    w.put(f.days_held);
    w.put(f.days_missing);
    w.put(f.days_suspended);
    w.put(f.days_behind);
    w.put(static_cast<std::uint32_t>(f.missing_dates.size()));
    for (const int day : f.missing_dates) w.put(day);
    w.put(f.rows);
    w.put(f.bytes);
    w.put(static_cast<std::uint8_t>(f.unreadable));
    w.put(static_cast<std::uint8_t>(f.held));
    w.put(static_cast<std::uint8_t>(f.updating));
    w.put(f.error);
    w.put(static_cast<std::uint32_t>(f.leftovers.size()));
    for (const auto& leftover : f.leftovers) {
        w.put(static_cast<std::uint8_t>(leftover.kind));
        w.put(leftover.name);
    }
    w.put(static_cast<std::uint32_t>(f.months.size()));
    for (const auto& m : f.months) {
        w.put(m.month);
        w.put(m.held);
        w.put(m.missing);
        w.put(m.suspended);
        w.put(m.behind);
    }
    return w.take();
}

FileStatus decode(std::string_view bytes) {
    Reader r(bytes);
    FileStatus f;
    f.kind = static_cast<Kind>(r.get<std::uint8_t>());
    f.path = r.text();
    f.group = r.text();
    f.instrument = r.text();
    f.exists = r.get<std::uint8_t>() != 0;
    f.first_date = r.optional<int>();
    f.last_date = r.optional<int>();
    f.delisted_date = r.optional<int>();
    f.days_held = r.get<int>();
    f.days_missing = r.get<int>();
    f.days_suspended = r.get<int>();
    f.days_behind = r.get<int>();
    f.missing_dates.resize(r.get<std::uint32_t>());
    for (int& day : f.missing_dates) day = r.get<int>();
    f.rows = r.optional<std::int64_t>();
    f.bytes = r.get<std::uint64_t>();
    f.unreadable = r.get<std::uint8_t>() != 0;
    f.held = r.get<std::uint8_t>() != 0;
    f.updating = r.get<std::uint8_t>() != 0;
    f.error = r.text();
    f.leftovers.resize(r.get<std::uint32_t>());
    for (auto& leftover : f.leftovers) {
        leftover.kind = static_cast<Leftover::Kind>(r.get<std::uint8_t>());
        leftover.name = r.text();
    }
    f.months.resize(r.get<std::uint32_t>());
    for (auto& m : f.months) {
        m.month = r.get<int>();
        m.held = r.get<int>();
        m.missing = r.get<int>();
        m.suspended = r.get<int>();
        m.behind = r.get<int>();
    }
    if (!r.done()) throw std::runtime_error("a file status arrived with bytes to spare");
    return f;
}

}  // namespace tarnwick::bundle::status
