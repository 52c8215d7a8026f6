#include "tarnwick/bundle/formats/pickle.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <unordered_map>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/atomic_file.hpp"

namespace tarnwick::bundle::formats::pickle {

// The shared payload of texts, bytes and containers. Containers are mutable only while a
// pickle is being read; afterwards every Value gives const access.
struct Node {
    std::string text;                                                     // Str (UTF-8), Bytes
    std::vector<Value> items;                                             // List, Tuple
    std::vector<std::pair<Value, Value>> entries;                         // Dict, in insertion order
    std::unique_ptr<std::unordered_map<std::string, std::size_t>> index;  // Dict: key identity -> entry

    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Releases the children without recursion: a deeply nested structure (a file of nested
    // empty lists is a few bytes per level) must not exhaust the call stack when it goes away.
    ~Node() {
        if (items.empty() && entries.empty()) return;
        std::vector<std::shared_ptr<Node>> pending;
        detach_children(*this, pending);
        while (!pending.empty()) {
            std::shared_ptr<Node> next = std::move(pending.back());
            pending.pop_back();
            detach_children(*next, pending);
        }  // `next` dies here with no children left
    }

    // Moves out the children that would die with `node` (the last reference) into `pending`.
    static void detach_children(Node& node, std::vector<std::shared_ptr<Node>>& pending) {
        const auto take = [&](Value& v) {
            if (v.node_ && v.node_.use_count() == 1) pending.push_back(std::move(v.node_));
        };
        for (Value& v : node.items) take(v);
        for (auto& [k, v] : node.entries) {
            take(k);
            take(v);
        }
        node.items.clear();
        node.entries.clear();
        node.index.reset();
    }
};

namespace {

bool is_container(Value::Kind k) { return k == Value::Kind::List || k == Value::Kind::Tuple || k == Value::Kind::Dict; }

// UTF-8 as Python's pickle writes it: well-formed sequences, lone surrogates allowed
// ("surrogatepass").
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra = 0;
        unsigned min = 0;
        std::uint32_t cp = 0;
        if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
            cp = c & 0x1f;
            min = 0x80;
        } else if (c >= 0xe0 && c <= 0xef) {
            extra = 2;
            cp = c & 0x0f;
            min = 0x800;
        } else if (c >= 0xf0 && c <= 0xf4) {
            extra = 3;
            cp = c & 0x07;
            min = 0x10000;
        } else {
            return false;
        }
        if (n - i <= static_cast<std::size_t>(extra)) return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned cc = p[i + k];
            if ((cc & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if (cp < min || cp > 0x10ffff) return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

const char* opcode_name(unsigned char op) {
    switch (op) {
        case '(':
            return "MARK";
        case '.':
            return "STOP";
        case '0':
            return "POP";
        case '1':
            return "POP_MARK";
        case '2':
            return "DUP";
        case 'F':
            return "FLOAT";
        case 'I':
            return "INT";
        case 'J':
            return "BININT";
        case 'K':
            return "BININT1";
        case 'L':
            return "LONG";
        case 'M':
            return "BININT2";
        case 'N':
            return "NONE";
        case 'P':
            return "PERSID";
        case 'Q':
            return "BINPERSID";
        case 'R':
            return "REDUCE";
        case 'S':
            return "STRING";
        case 'T':
            return "BINSTRING";
        case 'U':
            return "SHORT_BINSTRING";
        case 'V':
            return "UNICODE";
        case 'X':
            return "BINUNICODE";
        case 'a':
            return "APPEND";
        case 'b':
            return "BUILD";
        case 'c':
            return "GLOBAL";
        case 'd':
            return "DICT";
        case '}':
            return "EMPTY_DICT";
        case 'e':
            return "APPENDS";
        case 'g':
            return "GET";
        case 'h':
            return "BINGET";
        case 'i':
            return "INST";
        case 'j':
            return "LONG_BINGET";
        case 'l':
            return "LIST";
        case ']':
            return "EMPTY_LIST";
        case 'o':
            return "OBJ";
        case 'p':
            return "PUT";
        case 'q':
            return "BINPUT";
        case 'r':
            return "LONG_BINPUT";
        case 's':
            return "SETITEM";
        case 't':
            return "TUPLE";
        case ')':
            return "EMPTY_TUPLE";
        case 'u':
            return "SETITEMS";
        case 'G':
            return "BINFLOAT";
        case 'B':
            return "BINBYTES";
        case 'C':
            return "SHORT_BINBYTES";
        case 0x80:
            return "PROTO";
        case 0x81:
            return "NEWOBJ";
        case 0x82:
            return "EXT1";
        case 0x83:
            return "EXT2";
        case 0x84:
            return "EXT4";
        case 0x85:
            return "TUPLE1";
        case 0x86:
            return "TUPLE2";
        case 0x87:
            return "TUPLE3";
        case 0x88:
            return "NEWTRUE";
        case 0x89:
            return "NEWFALSE";
        case 0x8a:
            return "LONG1";
        case 0x8b:
            return "LONG4";
        case 0x8c:
            return "SHORT_BINUNICODE";
        case 0x8d:
            return "BINUNICODE8";
        case 0x8e:
            return "BINBYTES8";
        case 0x8f:
            return "EMPTY_SET";
        case 0x90:
            return "ADDITEMS";
        case 0x91:
            return "FROZENSET";
        case 0x92:
            return "NEWOBJ_EX";
        case 0x93:
            return "STACK_GLOBAL";
        case 0x94:
            return "MEMOIZE";
        case 0x95:
            return "FRAME";
        case 0x96:
            return "BYTEARRAY8";
        case 0x97:
            return "NEXT_BUFFER";
        case 0x98:
            return "READONLY_BUFFER";
        default:
            return nullptr;
    }
}

// Opcodes that import a name, call something or hand data to application code.
bool runs_code(unsigned char op) {
    switch (op) {
        case 'P':
        case 'Q':
        case 'R':
        case 'b':
        case 'c':
        case 'i':
        case 'o':
        case 0x81:
        case 0x82:
        case 0x83:
        case 0x84:
        case 0x92:
        case 0x93:
            return true;
        default:
            return false;
    }
}

std::uint64_t little_endian(std::string_view bytes) {
    std::uint64_t v = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
    return v;
}

constexpr std::size_t kNoFrame = std::numeric_limits<std::size_t>::max();
// The instrument list of a whole market is a few megabytes; this only bounds a damaged file.
constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;
constexpr std::size_t kMaxItems = 6000000;

}  // namespace

// ---- reading ----------------------------------------------------------------------------------

class Unpickler {
public:
    Unpickler(std::string_view data, const std::string& name) : data_(data), name_(name) {}

    // Breaks whatever the run built but did not hand out (and everything, after a failure), so
    // that no reference cycle outlives the run.
    ~Unpickler() {
        stack_.clear();
        memo_.clear();
        for (const auto& node : nodes_) {
            if (succeeded_ && reachable_.count(node.get())) continue;
            node->items.clear();
            node->entries.clear();
            node->index.reset();
        }
    }
    Unpickler(const Unpickler&) = delete;
    Unpickler& operator=(const Unpickler&) = delete;

    Value run() {
        for (;;) {
            op_pos_ = pos_;
            const auto op = static_cast<unsigned char>(read(1)[0]);
            if (op == '.') {
                Value result = pop();
                check_acyclic(result);
                succeeded_ = true;
                return result;
            }
            step(op);
        }
    }

private:
    std::string_view data_;
    const std::string& name_;
    std::size_t pos_ = 0;
    std::size_t op_pos_ = 0;
    std::size_t frame_end_ = kNoFrame;
    std::vector<Value> stack_;
    std::vector<std::size_t> marks_;
    std::unordered_map<std::uint64_t, Value> memo_;
    std::vector<std::shared_ptr<Node>> nodes_;        // every container made by this run
    std::unordered_map<const Node*, int> reachable_;  // containers of the result
    bool succeeded_ = false;
    std::size_t items_ = 0;

    [[noreturn]] void fail(const std::string& what) const {
        throw ValueError(fmt::format("\"{}\" is not a readable pickle: {} (at byte {})", name_, what, op_pos_));
    }

    // Reads n bytes. Inside a frame a read must not cross the frame's end; once a frame is used
    // up, reading goes on outside it (large texts are written outside frames).
    std::string_view read(std::uint64_t n) {
        if (frame_end_ != kNoFrame) {
            if (pos_ == frame_end_)
                frame_end_ = kNoFrame;
            else if (n > frame_end_ - pos_)
                fail("the data runs past the end of its frame");
        }
        if (n > data_.size() - pos_) fail("the data ends early (truncated file)");
        const std::string_view out = data_.substr(pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return out;
    }
    std::uint64_t read_uint(int bytes) { return little_endian(read(static_cast<std::uint64_t>(bytes))); }

    // Every item pushed and every memo entry counts against a budget, so that a damaged or
    // hostile file cannot make the reader hold gigabytes (each item costs up to ~200 bytes). An
    // instrument list of a whole market (tens of thousands of records) uses a few million.
    void count_item() {
        if (++items_ > kMaxItems)
            fail(fmt::format("more than {} items, far more than an instrument list holds", kMaxItems));
    }
    void push(Value v) {
        count_item();
        stack_.push_back(std::move(v));
    }

    std::size_t floor() const { return marks_.empty() ? 0 : marks_.back(); }
    Value pop() {
        if (stack_.size() <= floor()) fail("stack underflow");
        Value v = std::move(stack_.back());
        stack_.pop_back();
        return v;
    }
    Value& top() {
        if (stack_.size() <= floor()) fail("stack underflow");
        return stack_.back();
    }
    std::vector<Value> pop_mark() {
        if (marks_.empty()) fail("MARK expected before this opcode");
        const std::size_t mark = marks_.back();
        marks_.pop_back();
        std::vector<Value> items(std::make_move_iterator(stack_.begin() + static_cast<std::ptrdiff_t>(mark)),
                                 std::make_move_iterator(stack_.end()));
        stack_.resize(mark);
        return items;
    }

    Value make(Value::Kind kind) {
        Value v;
        v.kind_ = kind;
        v.node_ = std::make_shared<Node>();
        if (is_container(kind)) nodes_.push_back(v.node_);
        return v;
    }
    Value make_text(Value::Kind kind, std::string_view bytes) {
        if (kind == Value::Kind::Str && !valid_utf8(bytes)) fail("a text is not valid UTF-8");
        Value v = make(kind);
        v.node_->text.assign(bytes);
        return v;
    }
    Value make_sequence(Value::Kind kind, std::vector<Value> items) {
        Value v = make(kind);
        v.node_->items = std::move(items);
        return v;
    }

    Node& target(Value& v, Value::Kind kind, const char* what) {
        if (v.kind_ != kind)
            fail(fmt::format("{} needs a {} below it, found a {}", what, Value::kind_name(kind),
                             Value::kind_name(v.kind_)));
        return *v.node_;
    }

    std::string key_identity(const Value& key) {
        switch (key.kind_) {
            case Value::Kind::None:
                return "N";
            case Value::Kind::Bool:
                return key.scalar_.b ? "i1" : "i0";  // True == 1 as a dict key
            case Value::Kind::Int:
                return "i" + std::to_string(key.scalar_.i);
            case Value::Kind::Float: {
                const double d = key.scalar_.d;
                if (d == std::trunc(d) && d >= -9.2e18 && d <= 9.2e18)
                    return "i" + std::to_string(static_cast<std::int64_t>(d));
                std::uint64_t bits;
                std::memcpy(&bits, &d, sizeof bits);
                return "f" + std::to_string(bits);
            }
            case Value::Kind::Str:
                return "s" + key.node_->text;
            case Value::Kind::Bytes:
                return "b" + key.node_->text;
            default:
                fail(fmt::format("a dict key of type {} is not supported", Value::kind_name(key.kind_)));
        }
    }
    void set_item(Node& dict, Value key, Value value) {
        if (!dict.index) dict.index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
        auto [it, inserted] = dict.index->emplace(key_identity(key), dict.entries.size());
        if (inserted)
            dict.entries.emplace_back(std::move(key), std::move(value));
        else
            dict.entries[it->second].second = std::move(value);
    }

    void memo_put(std::uint64_t index) {
        count_item();
        const Value& v = top();
        memo_.insert_or_assign(index, v);
    }
    void memo_get(std::uint64_t index) {
        const auto it = memo_.find(index);
        if (it == memo_.end()) fail(fmt::format("memo entry {} is used before it is set", index));
        push(it->second);
    }

    std::int64_t decode_long(std::string_view bytes) {
        if (bytes.empty()) return 0;
        const std::size_t n = bytes.size();
        if (n > 8) {
            const unsigned char fill = (static_cast<unsigned char>(bytes[7]) & 0x80) ? 0xff : 0x00;
            for (std::size_t i = 8; i < n; ++i)
                if (static_cast<unsigned char>(bytes[i]) != fill) fail("an integer does not fit 64 bits");
            return static_cast<std::int64_t>(little_endian(bytes.substr(0, 8)));
        }
        std::uint64_t v = little_endian(bytes);
        if (n < 8 && (static_cast<unsigned char>(bytes[n - 1]) & 0x80)) v |= ~std::uint64_t{0} << (8 * n);
        return static_cast<std::int64_t>(v);
    }

    void check_acyclic(const Value& root) {
        if (!is_container(root.kind_)) return;
        struct Step {
            const Node* node;
            std::size_t next;
        };
        std::vector<Step> path;
        const auto enter = [&](const Node* n) {
            const auto [it, inserted] = reachable_.emplace(n, 1);
            if (!inserted) {
                if (it->second == 1) fail("the data refers to itself (a self-referencing structure is not read)");
                return;
            }
            path.push_back({n, 0});
        };
        enter(root.node_.get());
        while (!path.empty()) {
            Step& s = path.back();
            const Node* n = s.node;
            if (s.next == n->items.size() + n->entries.size()) {
                reachable_[n] = 2;
                path.pop_back();
                continue;
            }
            const Value& child =
                s.next < n->items.size() ? n->items[s.next] : n->entries[s.next - n->items.size()].second;
            ++s.next;
            if (is_container(child.kind_)) enter(child.node_.get());
        }
    }

    void step(unsigned char op) {
        if (runs_code(op))
            throw ValueError(fmt::format(
                "\"{}\": pickle opcode {} at byte {} is refused: it would import or run Python code; only plain data "
                "(lists, dicts, tuples, texts, numbers, None) is read",
                name_, opcode_name(op), op_pos_));
        switch (op) {
            case 0x80: {  // PROTO
                const unsigned proto = static_cast<unsigned char>(read(1)[0]);
                if (proto > 5) fail(fmt::format("unsupported pickle protocol {}", proto));
                return;
            }
            case 0x95: {  // FRAME; it may be the last byte of the frame before
                if (frame_end_ != kNoFrame && pos_ != frame_end_)
                    fail("a new frame begins before the end of the current one");
                const std::uint64_t size = read_uint(8);
                if (size > data_.size() - pos_) fail("the data ends early (truncated frame)");
                frame_end_ = pos_ + static_cast<std::size_t>(size);
                return;
            }
            case '(':
                marks_.push_back(stack_.size());
                return;
            case '0':  // POP: the top item, or the items of an open MARK when nothing is above it
                if (stack_.size() > floor())
                    stack_.pop_back();
                else
                    pop_mark();
                return;
            case '1':
                pop_mark();
                return;
            case '2': {
                Value copy = top();
                push(std::move(copy));
                return;
            }
            case 'N':
                push(Value());
                return;
            case 0x88:
                push(Value::boolean(true));
                return;
            case 0x89:
                push(Value::boolean(false));
                return;
            case 'K':
                push(Value::integer(static_cast<std::int64_t>(read_uint(1))));
                return;
            case 'M':
                push(Value::integer(static_cast<std::int64_t>(read_uint(2))));
                return;
            case 'J':
                push(Value::integer(static_cast<std::int32_t>(static_cast<std::uint32_t>(read_uint(4)))));
                return;
            case 0x8a:
                push(Value::integer(decode_long(read(read_uint(1)))));
                return;
            case 0x8b: {
                const auto n = static_cast<std::int32_t>(static_cast<std::uint32_t>(read_uint(4)));
                if (n < 0) fail("LONG4 with a negative byte count");
                push(Value::integer(decode_long(read(static_cast<std::uint64_t>(n)))));
                return;
            }
            case 'G': {
                const std::string_view b = read(8);
                std::uint64_t bits = 0;
                for (char c : b) bits = (bits << 8) | static_cast<unsigned char>(c);
                double d;
                std::memcpy(&d, &bits, sizeof d);
                push(Value::real(d));
                return;
            }
            case 0x8c:
                push(make_text(Value::Kind::Str, read(read_uint(1))));
                return;
            case 'X':
                push(make_text(Value::Kind::Str, read(read_uint(4))));
                return;
            case 0x8d:
                push(make_text(Value::Kind::Str, read(read_uint(8))));
                return;
            case 'U':
            case 'T': {
                std::uint64_t n = read_uint(op == 'U' ? 1 : 4);
                if (op == 'T' && (n & 0x80000000u)) fail("BINSTRING with a negative length");
                const std::string_view bytes = read(n);
                for (char c : bytes)
                    if (static_cast<unsigned char>(c) >= 0x80) fail("a Python 2 byte string is not ASCII");
                push(make_text(Value::Kind::Str, bytes));
                return;
            }
            case 'C':
                push(make_text(Value::Kind::Bytes, read(read_uint(1))));
                return;
            case 'B':
                push(make_text(Value::Kind::Bytes, read(read_uint(4))));
                return;
            case 0x8e:
            case 0x96:
                push(make_text(Value::Kind::Bytes, read(read_uint(8))));
                return;
            case ']':
                push(make(Value::Kind::List));
                return;
            case ')':
                push(make(Value::Kind::Tuple));
                return;
            case '}':
                push(make(Value::Kind::Dict));
                return;
            case 'l':
                push(make_sequence(Value::Kind::List, pop_mark()));
                return;
            case 't':
                push(make_sequence(Value::Kind::Tuple, pop_mark()));
                return;
            case 0x85:
            case 0x86:
            case 0x87: {
                const std::size_t n = op - 0x84u;
                if (stack_.size() < floor() + n) fail("stack underflow");
                std::vector<Value> items(std::make_move_iterator(stack_.end() - static_cast<std::ptrdiff_t>(n)),
                                         std::make_move_iterator(stack_.end()));
                stack_.resize(stack_.size() - n);
                push(make_sequence(Value::Kind::Tuple, std::move(items)));
                return;
            }
            case 'a': {
                Value v = pop();
                target(top(), Value::Kind::List, "APPEND").items.push_back(std::move(v));
                return;
            }
            case 'e': {
                std::vector<Value> items = pop_mark();
                auto& list = target(top(), Value::Kind::List, "APPENDS").items;
                list.insert(list.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
                return;
            }
            case 'd': {
                std::vector<Value> items = pop_mark();
                if (items.size() % 2) fail("DICT with an odd number of items");
                Value dict = make(Value::Kind::Dict);
                for (std::size_t i = 0; i < items.size(); i += 2)
                    set_item(*dict.node_, std::move(items[i]), std::move(items[i + 1]));
                push(std::move(dict));
                return;
            }
            case 's': {
                Value v = pop();
                Value k = pop();
                set_item(target(top(), Value::Kind::Dict, "SETITEM"), std::move(k), std::move(v));
                return;
            }
            case 'u': {
                std::vector<Value> items = pop_mark();
                if (items.size() % 2) fail("SETITEMS with an odd number of items");
                Node& dict = target(top(), Value::Kind::Dict, "SETITEMS");
                for (std::size_t i = 0; i < items.size(); i += 2)
                    set_item(dict, std::move(items[i]), std::move(items[i + 1]));
                return;
            }
            case 'q':
                memo_put(read_uint(1));
                return;
            case 'r':
                memo_put(read_uint(4));
                return;
            case 0x94:
                memo_put(memo_.size());
                return;
            case 'h':
                memo_get(read_uint(1));
                return;
            case 'j':
                memo_get(read_uint(4));
                return;
            default:
                break;
        }
        if (const char* name = opcode_name(op))
            fail(
                fmt::format("opcode {} is not read (protocol 0 text, sets and out-of-band buffers are not "
                            "supported; write the file with protocol 2 or later)",
                            name));
        fail(fmt::format("unknown opcode 0x{:02x}", op));
    }
};

// ---- Value ------------------------------------------------------------------------------------

Value Value::boolean(bool b) {
    Value v;
    v.kind_ = Kind::Bool;
    v.scalar_.b = b;
    return v;
}
Value Value::integer(std::int64_t i) {
    Value v;
    v.kind_ = Kind::Int;
    v.scalar_.i = i;
    return v;
}
Value Value::real(double d) {
    Value v;
    v.kind_ = Kind::Float;
    v.scalar_.d = d;
    return v;
}

const char* Value::kind_name(Kind kind) {
    switch (kind) {
        case Kind::None:
            return "None";
        case Kind::Bool:
            return "bool";
        case Kind::Int:
            return "int";
        case Kind::Float:
            return "float";
        case Kind::Str:
            return "str";
        case Kind::Bytes:
            return "bytes";
        case Kind::List:
            return "list";
        case Kind::Tuple:
            return "tuple";
        case Kind::Dict:
            return "dict";
    }
    return "?";
}

namespace {
[[noreturn]] void wrong_kind(Value::Kind want, Value::Kind have) {
    throw ValueError(
        fmt::format("a pickled {} was expected, found a {}", Value::kind_name(want), Value::kind_name(have)));
}
}  // namespace

bool Value::as_bool() const {
    if (kind_ != Kind::Bool) wrong_kind(Kind::Bool, kind_);
    return scalar_.b;
}
std::int64_t Value::as_int() const {
    if (kind_ != Kind::Int) wrong_kind(Kind::Int, kind_);
    return scalar_.i;
}
double Value::as_float() const {
    if (kind_ != Kind::Float) wrong_kind(Kind::Float, kind_);
    return scalar_.d;
}
const std::string& Value::as_str() const {
    if (kind_ != Kind::Str) wrong_kind(Kind::Str, kind_);
    return node_->text;
}
const std::string& Value::as_bytes() const {
    if (kind_ != Kind::Bytes) wrong_kind(Kind::Bytes, kind_);
    return node_->text;
}
const std::vector<Value>& Value::items() const {
    if (kind_ != Kind::List && kind_ != Kind::Tuple) wrong_kind(Kind::List, kind_);
    return node_->items;
}
const std::vector<std::pair<Value, Value>>& Value::entries() const {
    if (kind_ != Kind::Dict) wrong_kind(Kind::Dict, kind_);
    return node_->entries;
}
const Value* Value::find(std::string_view key) const {
    if (kind_ != Kind::Dict) wrong_kind(Kind::Dict, kind_);
    if (!node_->index) return nullptr;
    std::string identity = "s";
    identity += key;
    const auto it = node_->index->find(identity);
    return it == node_->index->end() ? nullptr : &node_->entries[it->second].second;
}

Value loads(std::string_view bytes, const std::string& name) { return Unpickler(bytes, name).run(); }

Value load(const std::string& path) { return loads(host::read_whole_file(path, kMaxFileBytes), path); }

std::vector<Value> load_records(const std::string& path) {
    const Value root = load(path);
    if (root.kind() != Value::Kind::List && root.kind() != Value::Kind::Tuple)
        throw ValueError(
            fmt::format("\"{}\" holds a pickled {}, not a list of records", path, Value::kind_name(root.kind())));
    const std::vector<Value>& records = root.items();
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!records[i].is_dict())
            throw ValueError(fmt::format("record {} of \"{}\" is a pickled {}, not a dict", i, path,
                                         Value::kind_name(records[i].kind())));
    return records;
}

// ---- writing ----------------------------------------------------------------------------------

namespace {

class Writer {
public:
    std::string out;

    void raw(unsigned char c) { out += static_cast<char>(c); }
    void le(std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
    }
    // Every container and text gets a memo slot, as CPython's pickler gives them.
    void memoize() {
        if (next_memo_ < 256) {
            raw('q');
            le(next_memo_, 1);
        } else {
            raw('r');
            le(next_memo_, 4);
        }
        ++next_memo_;
    }
    void text(const std::string& s) {
        if (const auto it = memo_.find(s); it != memo_.end()) {
            if (it->second < 256) {
                raw('h');
                le(it->second, 1);
            } else {
                raw('j');
                le(it->second, 4);
            }
            return;
        }
        if (!valid_utf8(s)) throw ValueError("cannot pickle a text that is not valid UTF-8");
        if (s.size() > 0xffffffffu) throw ValueError("cannot pickle a text of 4 GiB or more with protocol 2");
        raw('X');
        le(s.size(), 4);
        out += s;
        memo_.emplace(s, next_memo_);
        memoize();
    }
    void integer(std::int64_t v) {
        if (v >= 0 && v < 256) {
            raw('K');
            le(static_cast<std::uint64_t>(v), 1);
        } else if (v >= 0 && v < 65536) {
            raw('M');
            le(static_cast<std::uint64_t>(v), 2);
        } else if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) {
            raw('J');
            le(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)), 4);
        } else {
            // LONG1: the shortest little-endian two's complement form.
            const auto u = static_cast<std::uint64_t>(v);
            int n = 8;
            const auto byte = [&](int i) { return static_cast<unsigned>((u >> (8 * i)) & 0xff); };
            while (n > 1 &&
                   ((byte(n - 1) == 0x00 && !(byte(n - 2) & 0x80)) || (byte(n - 1) == 0xff && (byte(n - 2) & 0x80))))
                --n;
            raw(0x8a);
            le(static_cast<std::uint64_t>(n), 1);
            le(u, n);
        }
    }
    void real(double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        raw('G');
        for (int i = 7; i >= 0; --i) out += static_cast<char>((bits >> (8 * i)) & 0xff);
    }
    void field(const Field& f) {
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::monostate>)
                    raw('N');
                else if constexpr (std::is_same_v<T, bool>)
                    raw(v ? 0x88 : 0x89);
                else if constexpr (std::is_same_v<T, std::int64_t>)
                    integer(v);
                else if constexpr (std::is_same_v<T, double>)
                    real(v);
                else
                    text(v);
            },
            f);
    }

private:
    std::unordered_map<std::string, std::uint32_t> memo_;
    std::uint32_t next_memo_ = 0;
};

constexpr std::size_t kBatch = 1000;  // CPython's batch size for APPENDS / SETITEMS

}  // namespace

std::string dumps_records(const std::vector<Record>& records) {
    Writer w;
    w.raw(0x80);
    w.raw(2);
    w.raw(']');
    w.memoize();
    for (std::size_t start = 0; start < records.size(); start += kBatch) {
        const std::size_t end = std::min(records.size(), start + kBatch);
        if (end - start > 1) w.raw('(');
        for (std::size_t r = start; r < end; ++r) {
            const Record& record = records[r];
            w.raw('}');
            w.memoize();
            for (std::size_t f = 0; f < record.size(); f += kBatch) {
                const std::size_t f_end = std::min(record.size(), f + kBatch);
                if (f_end - f > 1) w.raw('(');
                for (std::size_t k = f; k < f_end; ++k) {
                    w.text(record[k].first);
                    w.field(record[k].second);
                }
                w.raw(f_end - f > 1 ? 'u' : 's');
            }
        }
        w.raw(end - start > 1 ? 'e' : 'a');
    }
    w.raw('.');
    return std::move(w.out);
}

void dump_records(const std::string& path, const std::vector<Record>& records) {
    host::write_file_atomically(path, dumps_records(records));
}

}  // namespace tarnwick::bundle::formats::pickle
