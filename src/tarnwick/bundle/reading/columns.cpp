#include "tarnwick/bundle/reading/columns.hpp"

#include <cstring>

#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"

namespace tarnwick::bundle::reading {
namespace {

constexpr std::int64_t SECOND = 1'000'000'000;
constexpr std::int64_t DAY = 86'400 * SECOND;

// Days from 1970-01-01 to the civil date (proleptic Gregorian), H. Hinnant's algorithm.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t midnight(std::int64_t yyyymmdd) {
    return days_from_civil(yyyymmdd / 10000, static_cast<unsigned>(yyyymmdd / 100 % 100),
                           static_cast<unsigned>(yyyymmdd % 100)) *
           DAY;
}

// HHMMSS as nanoseconds after midnight.
std::int64_t clock_time(std::int64_t hhmmss) {
    return ((hhmmss / 10000) * 3600 + (hhmmss / 100 % 100) * 60 + hhmmss % 100) * SECOND;
}

template <class T>
T field(const unsigned char* record, std::size_t offset) {
    T value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

}  // namespace

std::int64_t day_start(std::int64_t yyyymmdd) { return midnight(yyyymmdd); }

void timestamps(RecordKind kind, std::span<const unsigned char> records, std::span<std::int64_t> out) {
    const std::size_t size = record_size(kind);
    // Neighbouring records mostly share their day: its midnight is worked out once per day.
    std::int64_t day = -1;
    std::int64_t day_start = 0;
    for (std::size_t row = 0; row < out.size(); ++row) {
        const unsigned char* record = records.data() + row * size;
        std::int64_t date = 0;
        std::int64_t since_midnight = 0;
        if (kind == RecordKind::Ticks) {
            date = field<std::uint32_t>(record, offsetof(layout::TickRecord, date));
            const std::int64_t time = field<std::uint32_t>(record, offsetof(layout::TickRecord, time));
            since_midnight = clock_time(time / 1000) + time % 1000 * 1'000'000;
        } else {
            const auto datetime = field<std::int64_t>(record, 0);
            date = datetime / 1'000'000;
            since_midnight = clock_time(datetime % 1'000'000);
        }
        if (date != day) {
            day = date;
            day_start = midnight(date);
        }
        out[row] = day_start + since_midnight;
    }
}

void tick_volumes(std::span<const unsigned char> ticks, std::span<const DayRows> days, std::span<std::int64_t> out) {
    constexpr std::size_t size = sizeof(layout::TickRecord);
    std::size_t row = 0;
    for (const DayRows& day : days) {
        std::int64_t previous = 0;
        for (std::size_t end = row + day.rows; row < end; ++row) {
            const auto volume = field<std::int64_t>(ticks.data() + row * size, offsetof(layout::TickRecord, volume));
            out[row] = volume - previous;
            previous = volume;
        }
    }
}

}  // namespace tarnwick::bundle::reading
