#pragma once
// Python's pickle format, for the host's instrument list "instruments.pk": a list of records,
// each a dict of str -> str / int / float / bool / None.
//
// Reading never executes anything. Only opcodes that build plain data are understood (protocols
// 2 to 5, and the binary opcodes of protocol 1 they include): None, booleans, integers (BININT*,
// LONG1, LONG4), BINFLOAT, texts (BINUNICODE, SHORT_BINUNICODE, BINUNICODE8, and Python 2's
// BINSTRING / SHORT_BINSTRING when ASCII), bytes, lists, tuples, dicts, MARK, the memo
// (BINPUT, LONG_BINPUT, MEMOIZE, BINGET, LONG_BINGET), FRAME, POP, POP_MARK, DUP and STOP.
// Opcodes that would import or call anything (GLOBAL, STACK_GLOBAL, REDUCE, BUILD, INST, OBJ,
// NEWOBJ, NEWOBJ_EX, EXT1/2/4, PERSID, BINPERSID) are refused with a ValueError naming the
// file and the opcode; so are the text opcodes of protocol 0, sets and out-of-band buffers.
//
// Malformed or truncated input gives a ValueError naming the file and the byte offset. Every
// length is checked against the bytes present before anything is allocated; the number of items
// a file may make is capped (6 million, a few times what a whole market's instrument list
// needs), so memory stays bounded; shared and nested structures are kept by reference (no
// copying), self-referencing structures are refused, and deep nesting is released without
// recursion.
//
// Loaded values are read-only; copies share their payload and may be read from several threads.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick::bundle::formats::pickle {

struct Node;

class Value {
public:
    enum class Kind { None, Bool, Int, Float, Str, Bytes, List, Tuple, Dict };

    Value() = default;  // None
    static Value boolean(bool b);
    static Value integer(std::int64_t i);
    static Value real(double d);

    Kind kind() const noexcept { return kind_; }
    bool is_none() const noexcept { return kind_ == Kind::None; }
    bool is_str() const noexcept { return kind_ == Kind::Str; }
    bool is_dict() const noexcept { return kind_ == Kind::Dict; }

    // Each throws ValueError when the value is of another kind.
    bool as_bool() const;
    std::int64_t as_int() const;  // an Int (a Bool is not an Int here)
    double as_float() const;
    const std::string& as_str() const;  // UTF-8
    const std::string& as_bytes() const;
    const std::vector<Value>& items() const;                      // a List or a Tuple
    const std::vector<std::pair<Value, Value>>& entries() const;  // a Dict, in insertion order

    // A Dict's value for the text key `key`; null when there is none.
    const Value* find(std::string_view key) const;

    static const char* kind_name(Kind kind);

private:
    friend struct Node;
    friend class Unpickler;
    Kind kind_ = Kind::None;
    union {
        bool b;
        std::int64_t i;
        double d;
    } scalar_{};
    std::shared_ptr<Node> node_;  // Str, Bytes, List, Tuple, Dict
};

// Parses the pickle in `bytes`; `name` (a file path) goes into every error message.
Value loads(std::string_view bytes, const std::string& name);
// Reads the pickle file at `path` (OsError when it cannot be opened, ValueError when malformed).
Value load(const std::string& path);

// Reads a pickle file that holds a list (or tuple) of dicts: the host's instrument list.
std::vector<Value> load_records(const std::string& path);

// ---- writing ----------------------------------------------------------------------------------

using Field = std::variant<std::monostate, bool, std::int64_t, double, std::string>;  // monostate: None
using Record = std::vector<std::pair<std::string, Field>>;                            // keys in order

// A protocol 2 pickle of a list of dicts, as CPython's pickle.dumps(records, protocol=2) writes it
// (texts memoized, items in batches of 1000). Texts must be valid UTF-8 (ValueError otherwise).
std::string dumps_records(const std::vector<Record>& records);
// Writes dumps_records(...) to `path` atomically (see atomic_file.hpp).
void dump_records(const std::string& path, const std::vector<Record>& records);

}  // namespace tarnwick::bundle::formats::pickle
