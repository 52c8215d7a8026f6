#include "tarnwick/bundle/formats/npy.hpp"

#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/atomic_file.hpp"

namespace tarnwick::bundle::formats {
namespace {

constexpr std::string_view kMagic{"\x93NUMPY", 6};
// numpy.load refuses longer headers by default; a calendar's header is about 70 bytes.
constexpr std::size_t kMaxHeaderBytes = 10000;
// A calendar holds a few thousand days; this only stops a damaged file from exhausting memory.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

// ---- dates -------------------------------------------------------------------------------------

bool is_yyyymmdd(std::int64_t v) { return v >= 10000101 && v <= 99991231; }

std::optional<std::int64_t> days_from_yyyymmdd(std::int64_t v) {
    using namespace std::chrono;
    if (!is_yyyymmdd(v)) return std::nullopt;
    const year_month_day ymd{year{static_cast<int>(v / 10000)}, month{static_cast<unsigned>(v / 100 % 100)},
                             day{static_cast<unsigned>(v % 100)}};
    if (!ymd.ok()) return std::nullopt;
    return sys_days{ymd}.time_since_epoch().count();
}

std::optional<std::int64_t> yyyymmdd_from_days(std::int64_t d) {
    using namespace std::chrono;
    // Years 1..9999 lie well inside this range; it keeps the conversion below from overflowing.
    if (d < -800000 || d > 3000000) return std::nullopt;
    const year_month_day ymd{sys_days{days{d}}};
    const int y = static_cast<int>(ymd.year());
    if (y < 1 || y > 9999) return std::nullopt;
    return std::int64_t{y} * 10000 + static_cast<unsigned>(ymd.month()) * 100 + static_cast<unsigned>(ymd.day());
}

// ---- header literal ------------------------------------------------------------------------------

// The header is a Python dict literal, e.g. {'descr': '<i8', 'fortran_order': False, 'shape': (3,), }.
// Only literals are understood; nothing is evaluated.
struct Literal {
    enum class Kind { Str, Bool, Int, Tuple, List, Dict, None } kind = Kind::None;
    std::string text;
    bool boolean = false;
    std::int64_t integer = 0;
    std::vector<Literal> items;
    std::vector<std::pair<std::string, Literal>> entries;
};

class HeaderParser {
public:
    HeaderParser(std::string_view text, const std::string& name) : text_(text), name_(name) {}

    Literal parse_document() {
        Literal value = parse_value(0);
        skip_space();
        if (pos_ != text_.size()) fail("unexpected text after the header dictionary");
        return value;
    }

private:
    std::string_view text_;
    const std::string& name_;
    std::size_t pos_ = 0;

    [[noreturn]] void fail(const std::string& what) const {
        throw ValueError(fmt::format("\"{}\" is not a valid NPY file: {} (header byte {})", name_, what, pos_));
    }
    void skip_space() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }
    bool accept(char c) {
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool accept_word(std::string_view word) {
        skip_space();
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    Literal parse_value(int depth) {
        if (depth > 8) fail("header nested too deeply");
        skip_space();
        if (pos_ >= text_.size()) fail("header ends early");
        const char c = text_[pos_];
        if (c == '\'' || c == '"') return parse_string();
        if (c == '{') return parse_dict(depth);
        if (c == '(') return parse_sequence(depth, ')', Literal::Kind::Tuple);
        if (c == '[') return parse_sequence(depth, ']', Literal::Kind::List);
        if (c == '-' || (c >= '0' && c <= '9')) return parse_int();
        Literal out;
        if (accept_word("True")) {
            out.kind = Literal::Kind::Bool;
            out.boolean = true;
        } else if (accept_word("False")) {
            out.kind = Literal::Kind::Bool;
        } else if (accept_word("None")) {
            out.kind = Literal::Kind::None;
        } else {
            fail(fmt::format("unexpected character '{}' in the header", c));
        }
        return out;
    }

    Literal parse_string() {
        const char quote = text_[pos_++];
        Literal out;
        out.kind = Literal::Kind::Str;
        while (true) {
            if (pos_ >= text_.size()) fail("unterminated text in the header");
            char c = text_[pos_++];
            if (c == quote) break;
            if (c == '\\') {
                if (pos_ >= text_.size()) fail("unterminated text in the header");
                c = text_[pos_++];
            }
            out.text += c;
        }
        return out;
    }

    Literal parse_int() {
        Literal out;
        out.kind = Literal::Kind::Int;
        bool negative = false;
        if (text_[pos_] == '-') {
            negative = true;
            ++pos_;
        }
        const std::size_t start = pos_;
        std::uint64_t magnitude = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            const unsigned digit = static_cast<unsigned>(text_[pos_] - '0');
            if (magnitude > (std::uint64_t{std::numeric_limits<std::int64_t>::max()} - digit) / 10)
                fail("number too large in the header");
            magnitude = magnitude * 10 + digit;
            ++pos_;
        }
        if (pos_ == start) fail("a number was expected in the header");
        if (pos_ < text_.size() && text_[pos_] == 'L') ++pos_;  // written by Python 2
        out.integer = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        return out;
    }

    Literal parse_sequence(int depth, char close, Literal::Kind kind) {
        ++pos_;
        Literal out;
        out.kind = kind;
        while (!accept(close)) {
            out.items.push_back(parse_value(depth + 1));
            if (accept(close)) break;
            if (!accept(',')) fail("',' expected in the header");
        }
        return out;
    }

    Literal parse_dict(int depth) {
        ++pos_;
        Literal out;
        out.kind = Literal::Kind::Dict;
        while (!accept('}')) {
            Literal key = parse_value(depth + 1);
            if (key.kind != Literal::Kind::Str) fail("header keys must be texts");
            if (!accept(':')) fail("':' expected in the header");
            out.entries.emplace_back(std::move(key.text), parse_value(depth + 1));
            if (accept('}')) break;
            if (!accept(',')) fail("',' expected in the header");
        }
        return out;
    }
};

// ---- element encoding ------------------------------------------------------------------------------

std::uint64_t load_uint(const unsigned char* p, int width, bool big_endian) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) {
        const unsigned char byte = big_endian ? p[i] : p[width - 1 - i];
        v = (v << 8) | byte;
    }
    return v;
}

void store_uint(std::string& out, std::uint64_t v, int width, bool big_endian) {
    char bytes[8];
    for (int i = 0; i < width; ++i) bytes[big_endian ? width - 1 - i : i] = static_cast<char>((v >> (8 * i)) & 0xff);
    out.append(bytes, static_cast<std::size_t>(width));
}

std::int64_t sign_extend(std::uint64_t v, int width) {
    if (width == 8) return static_cast<std::int64_t>(v);
    const std::uint64_t sign = std::uint64_t{1} << (8 * width - 1);
    return static_cast<std::int64_t>((v ^ sign) - sign);
}

}  // namespace

// ---- NpyElement -----------------------------------------------------------------------------------

std::string NpyElement::descr() const {
    const char order = big_endian ? '>' : '<';
    switch (kind) {
        case Kind::Signed:
            return width == 1 ? "|i1" : fmt::format("{}i{}", order, width);
        case Kind::Unsigned:
            return width == 1 ? "|u1" : fmt::format("{}u{}", order, width);
        case Kind::Bytes:
            return fmt::format("|S{}", width);
        case Kind::Unicode:
            return fmt::format("{}U{}", order, width);
        case Kind::Days:
            return fmt::format("{}M8[D]", order);
    }
    return {};
}

std::size_t NpyElement::item_size() const {
    return kind == Kind::Unicode ? static_cast<std::size_t>(width) * 4 : static_cast<std::size_t>(width);
}

NpyElement NpyElement::parse(std::string_view descr) {
    const auto bad = [&]() -> ValueError {
        return ValueError(
            fmt::format("unsupported element type '{}' (integers, 8-digit date texts 'S8'/'U8' "
                        "and 'M8[D]' days are read)",
                        descr));
    };
    NpyElement e;
    std::string_view rest = descr;
    char order = '|';
    if (!rest.empty() && (rest[0] == '<' || rest[0] == '>' || rest[0] == '|' || rest[0] == '=')) {
        order = rest[0];
        rest.remove_prefix(1);
    }
    if (rest.empty()) throw bad();
    const char code = rest[0];
    rest.remove_prefix(1);
    if (code == 'M') {
        if (rest != "8[D]" || order == '|') throw bad();
        e.kind = Kind::Days;
        e.width = 8;
        e.big_endian = order == '>';
        return e;
    }
    if (rest.empty() || rest.size() > 6) throw bad();
    int width = 0;
    for (char c : rest) {
        if (c < '0' || c > '9') throw bad();
        width = width * 10 + (c - '0');
    }
    switch (code) {
        case 'i':
        case 'u':
            if (width != 1 && width != 2 && width != 4 && width != 8) throw bad();
            if (order == '|' && width != 1) throw bad();
            e.kind = code == 'i' ? Kind::Signed : Kind::Unsigned;
            break;
        case 'S':
        case 'a':
            if (width < 1) throw bad();
            e.kind = Kind::Bytes;
            break;
        case 'U':
            if (width < 1) throw bad();
            e.kind = Kind::Unicode;
            break;
        default:
            throw bad();
    }
    e.width = width;
    e.big_endian = order == '>';
    return e;
}

// ---- writing --------------------------------------------------------------------------------------

std::string encode_npy(std::span<const std::int64_t> values, NpyElement element) {
    // Validates the element type the same way a reader would.
    element = NpyElement::parse(element.descr());
    std::string header =
        fmt::format("{{'descr': '{}', 'fortran_order': False, 'shape': ({},), }}", element.descr(), values.size());
    // numpy pads the header with spaces so that the data starts at a multiple of 64 bytes.
    const std::size_t preamble = kMagic.size() + 2 + 2;
    const std::size_t total = (preamble + header.size() + 1 + 63) / 64 * 64;
    header.append(total - preamble - header.size() - 1, ' ');
    header += '\n';

    std::string out;
    out.reserve(total + values.size() * element.item_size());
    out.append(kMagic);
    out += '\x01';
    out += '\x00';
    store_uint(out, header.size(), 2, false);
    out += header;

    const int width = element.width;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        switch (element.kind) {
            case NpyElement::Kind::Signed: {
                if (width < 8) {
                    const std::int64_t limit = std::int64_t{1} << (8 * width - 1);
                    if (v < -limit || v >= limit)
                        throw ValueError(
                            fmt::format("value {} at position {} does not fit '{}'", v, i, element.descr()));
                }
                store_uint(out, static_cast<std::uint64_t>(v), width, element.big_endian);
                break;
            }
            case NpyElement::Kind::Unsigned: {
                if (v < 0 || (width < 8 && static_cast<std::uint64_t>(v) >> (8 * width) != 0))
                    throw ValueError(fmt::format("value {} at position {} does not fit '{}'", v, i, element.descr()));
                store_uint(out, static_cast<std::uint64_t>(v), width, element.big_endian);
                break;
            }
            case NpyElement::Kind::Bytes:
            case NpyElement::Kind::Unicode: {
                if (!is_yyyymmdd(v) || width < 8)
                    throw ValueError(fmt::format("value {} at position {} is not an 8-digit date that fits '{}'", v, i,
                                                 element.descr()));
                const std::string digits = std::to_string(v);
                for (int c = 0; c < width; ++c) {
                    const unsigned char ch = c < 8 ? static_cast<unsigned char>(digits[c]) : 0;
                    if (element.kind == NpyElement::Kind::Bytes)
                        out += static_cast<char>(ch);
                    else
                        store_uint(out, ch, 4, element.big_endian);
                }
                break;
            }
            case NpyElement::Kind::Days: {
                const auto d = days_from_yyyymmdd(v);
                if (!d) throw ValueError(fmt::format("value {} at position {} is not a valid date YYYYMMDD", v, i));
                store_uint(out, static_cast<std::uint64_t>(*d), 8, element.big_endian);
                break;
            }
        }
    }
    return out;
}

void write_npy(const std::string& path, std::span<const std::int64_t> values, NpyElement element) {
    host::write_file_atomically(path, encode_npy(values, element));
}

// ---- reading --------------------------------------------------------------------------------------

std::vector<std::int64_t> decode_npy(std::string_view bytes, const std::string& name) {
    const auto fail = [&](const std::string& what) -> ValueError {
        return ValueError(fmt::format("\"{}\" is not a valid NPY file: {}", name, what));
    };
    if (bytes.size() < kMagic.size() + 2 || bytes.substr(0, kMagic.size()) != kMagic)
        throw fail("it does not start with the NPY magic bytes");
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned major = raw[6];
    const unsigned minor = raw[7];
    if (major < 1 || major > 3 || minor != 0) throw fail(fmt::format("unknown format version {}.{}", major, minor));
    const std::size_t length_bytes = major == 1 ? 2 : 4;
    std::size_t pos = 8;
    if (bytes.size() < pos + length_bytes) throw fail("truncated in the header length");
    const std::uint64_t header_size = load_uint(raw + pos, static_cast<int>(length_bytes), false);
    pos += length_bytes;
    if (header_size > kMaxHeaderBytes) throw fail(fmt::format("header of {} bytes is too long", header_size));
    if (bytes.size() - pos < header_size) throw fail("truncated in the header");
    const std::string_view header_text = bytes.substr(pos, static_cast<std::size_t>(header_size));
    pos += static_cast<std::size_t>(header_size);

    const Literal header = HeaderParser(header_text, name).parse_document();
    if (header.kind != Literal::Kind::Dict) throw fail("the header is not a dictionary");
    const Literal* descr = nullptr;
    const Literal* fortran_order = nullptr;
    const Literal* shape = nullptr;
    for (const auto& [key, value] : header.entries) {
        const Literal** slot = key == "descr"           ? &descr
                               : key == "fortran_order" ? &fortran_order
                               : key == "shape"         ? &shape
                                                        : nullptr;
        if (!slot) throw fail(fmt::format("unexpected header key '{}'", key));
        if (*slot) throw fail(fmt::format("header key '{}' appears twice", key));
        *slot = &value;
    }
    if (!descr || !fortran_order || !shape) throw fail("the header lacks 'descr', 'fortran_order' or 'shape'");
    if (descr->kind != Literal::Kind::Str)
        throw fail("the element type is not a plain type (structured arrays are not read)");
    if (fortran_order->kind != Literal::Kind::Bool) throw fail("'fortran_order' is not True or False");
    if (shape->kind != Literal::Kind::Tuple) throw fail("'shape' is not a tuple");
    if (shape->items.size() != 1 || shape->items[0].kind != Literal::Kind::Int)
        throw fail(
            fmt::format("a one-dimensional array was expected, the shape has {} dimensions", shape->items.size()));
    const std::int64_t count = shape->items[0].integer;
    if (count < 0) throw fail("negative array length");

    NpyElement element;
    try {
        element = NpyElement::parse(descr->text);
    } catch (const ValueError& e) {
        throw fail(e.what());
    }
    const std::size_t item = element.item_size();
    const std::size_t available = bytes.size() - pos;
    if (static_cast<std::uint64_t>(count) > available / item)
        throw fail(fmt::format("truncated: the header announces {} elements of {} bytes, {} data bytes are present",
                               count, item, available));

    std::vector<std::int64_t> out;
    out.reserve(static_cast<std::size_t>(count));
    const unsigned char* p = raw + pos;
    for (std::int64_t i = 0; i < count; ++i, p += item) {
        switch (element.kind) {
            case NpyElement::Kind::Signed:
                out.push_back(sign_extend(load_uint(p, element.width, element.big_endian), element.width));
                break;
            case NpyElement::Kind::Unsigned: {
                const std::uint64_t v = load_uint(p, element.width, element.big_endian);
                if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                    throw fail(fmt::format("element {} ({}) does not fit a signed 64-bit integer", i, v));
                out.push_back(static_cast<std::int64_t>(v));
                break;
            }
            case NpyElement::Kind::Bytes:
            case NpyElement::Kind::Unicode: {
                const bool unicode = element.kind == NpyElement::Kind::Unicode;
                int length = element.width;
                const auto char_at = [&](int c) -> std::uint64_t {
                    return unicode ? load_uint(p + 4 * c, 4, element.big_endian) : p[c];
                };
                while (length > 0 && char_at(length - 1) == 0) --length;  // numpy's padding
                std::int64_t v = 0;
                bool ok = length == 8;
                for (int c = 0; ok && c < length; ++c) {
                    const std::uint64_t ch = char_at(c);
                    ok = ch >= '0' && ch <= '9';
                    v = v * 10 + static_cast<std::int64_t>(ch - '0');
                }
                if (!ok) throw fail(fmt::format("element {} is not an 8-digit date text YYYYMMDD", i));
                out.push_back(v);
                break;
            }
            case NpyElement::Kind::Days: {
                const auto v = yyyymmdd_from_days(static_cast<std::int64_t>(load_uint(p, 8, element.big_endian)));
                if (!v) throw fail(fmt::format("element {} is not a day between the years 1 and 9999", i));
                out.push_back(*v);
                break;
            }
        }
    }
    return out;
}

std::vector<std::int64_t> read_npy(const std::string& path) {
    return decode_npy(host::read_whole_file(path, kMaxFileBytes), path);
}

}  // namespace tarnwick::bundle::formats
