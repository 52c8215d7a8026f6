#include "tarnwick/bundle/formats/pickle.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include "host/run_python.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::formats::pickle {
namespace {

using test::TempDir;
namespace fs = std::filesystem;
using namespace std::string_literals;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string hex(std::string_view s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string render_float(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    std::string out = "f";
    for (int i = 7; i >= 0; --i) out += hex(std::string(1, static_cast<char>((bits >> (8 * i)) & 0xff)));
    return out;
}

// The rendering of tests/python/render.py.
std::string render(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::None:
            return "N";
        case Value::Kind::Bool:
            return v.as_bool() ? "T" : "F";
        case Value::Kind::Int:
            return "i" + std::to_string(v.as_int());
        case Value::Kind::Float:
            return render_float(v.as_float());
        case Value::Kind::Str:
            return "s" + hex(v.as_str());
        case Value::Kind::Bytes:
            return "b" + hex(v.as_bytes());
        case Value::Kind::List:
        case Value::Kind::Tuple: {
            std::string out = v.kind() == Value::Kind::List ? "[" : "(";
            for (std::size_t i = 0; i < v.items().size(); ++i) out += (i ? "," : "") + render(v.items()[i]);
            return out + (v.kind() == Value::Kind::List ? "]" : ")");
        }
        case Value::Kind::Dict: {
            std::string out = "{";
            for (std::size_t i = 0; i < v.entries().size(); ++i)
                out += (i ? "," : "") + render(v.entries()[i].first) + ":" + render(v.entries()[i].second);
            return out + "}";
        }
    }
    return "?";
}

std::string render(const Field& f) {
    if (std::holds_alternative<std::monostate>(f)) return "N";
    if (const bool* b = std::get_if<bool>(&f)) return *b ? "T" : "F";
    if (const auto* i = std::get_if<std::int64_t>(&f)) return "i" + std::to_string(*i);
    if (const double* d = std::get_if<double>(&f)) return render_float(*d);
    return "s" + hex(std::get<std::string>(f));
}

std::string render(const std::vector<Record>& records) {
    std::string out = "[";
    for (std::size_t r = 0; r < records.size(); ++r) {
        out += r ? ",{" : "{";
        for (std::size_t k = 0; k < records[r].size(); ++k)
            out += (k ? "," : "") + ("s" + hex(records[r][k].first)) + ":" + render(records[r][k].second);
        out += "}";
    }
    return out + "]";
}

const std::string kP2("\x80\x02", 2);

std::string error_of(std::string_view bytes, const std::string& name = "bad.pk") {
    try {
        loads(bytes, name);
    } catch (const ValueError& e) {
        return e.what();
    }
    return "(no error)";
}

// Pickles written by CPython itself, made once for the whole suite.
class CPythonPickles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        const auto r = test::run_python_script("make_pickles.py", {dir_->str(), marker()});
        ASSERT_EQ(r.exit_status, 0) << r.output;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string file(const std::string& name) { return (*dir_ / name).string(); }
    static std::string marker() { return (*dir_ / "executed").string(); }
    static TempDir* dir_;
};
TempDir* CPythonPickles::dir_ = nullptr;

TEST_F(CPythonPickles, ProtocolsTwoToFiveLoadTheSameRecords) {
    const std::string expected = slurp(file("records.txt"));
    ASSERT_FALSE(expected.empty());
    for (int protocol = 2; protocol <= 5; ++protocol) {
        SCOPED_TRACE(protocol);
        const Value v = load(file("records_p" + std::to_string(protocol) + ".pk"));
        EXPECT_EQ(render(v), expected);
    }
}

TEST_F(CPythonPickles, LoadRecordsGivesDictsByField) {
    const std::vector<Value> records = load_records(file("records_p5.pk"));
    ASSERT_EQ(records.size(), 2500u);
    EXPECT_EQ(records[2].find("exchange")->as_str(), "BJSE");
    EXPECT_EQ(records[3].find("order_book_id")->as_str(), "000003.XHKG");
    EXPECT_EQ(records[1].find("symbol")->as_str(), "标的1");
    EXPECT_TRUE(records[0].find("round_lot")->is_none());
    EXPECT_EQ(records[1].find("round_lot")->as_int(), 100);
    EXPECT_EQ(records[11].find("big")->as_int(), -(std::int64_t{1} << 40) - 11);
    EXPECT_EQ(records[17].find("symbol")->as_str().size(), 40000u * 3);  // outside any frame
    EXPECT_EQ(records[0].find("no such field"), nullptr);
    EXPECT_THROW(records[0].find("exchange")->as_int(), ValueError);
}

TEST_F(CPythonPickles, TuplesNestingSharedDictsAndNumbers) {
    const Value v = load(file("nested.pk"));
    EXPECT_EQ(render(v), slurp(file("nested.txt")));
    // The second element is a memo reference to the first dict.
    EXPECT_EQ(v.items()[1].find("exchange")->as_str(), "BJSE");
    EXPECT_EQ(v.items()[2].find("tuple")->kind(), Value::Kind::Tuple);
    EXPECT_THROW(load_records(file("nested.pk")), ValueError);  // its last item is a list
}

TEST_F(CPythonPickles, ClassInstancesAndReduceAreRefusedAndNothingRuns) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"class_p2.pk", "GLOBAL"},
        {"class_p4.pk", "STACK_GLOBAL"},
        {"reduce_system.pk", "GLOBAL"},
    };
    for (const auto& [name, opcode] : cases) {
        SCOPED_TRACE(name);
        try {
            load_records(file(name));
            ADD_FAILURE() << "no error";
        } catch (const ValueError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(file(name)), std::string::npos) << what;
            EXPECT_NE(what.find("opcode " + opcode + " "), std::string::npos) << what;
            EXPECT_NE(what.find("refused"), std::string::npos) << what;
        }
    }
    EXPECT_FALSE(fs::exists(marker()));
    // The payload is real: CPython itself runs it.
    const auto r = test::run_python_script("render_pickle.py", {file("reduce_system.pk")});
    EXPECT_EQ(r.exit_status, 0) << r.output;
    EXPECT_TRUE(fs::exists(marker()));
    fs::remove(marker());
}

TEST(Pickle, EveryOpcodeThatRunsCodeIsRefusedByName) {
    const std::vector<std::pair<char, std::string>> opcodes{
        {'c', "GLOBAL"},  {'\x93', "STACK_GLOBAL"}, {'R', "REDUCE"},       {'b', "BUILD"},   {'i', "INST"},
        {'o', "OBJ"},     {'\x81', "NEWOBJ"},       {'\x92', "NEWOBJ_EX"}, {'\x82', "EXT1"}, {'\x83', "EXT2"},
        {'\x84', "EXT4"}, {'P', "PERSID"},          {'Q', "BINPERSID"},
    };
    for (const auto& [op, name] : opcodes) {
        SCOPED_TRACE(name);
        // Something harmless below it, so that only the opcode itself can be the reason.
        const std::string what = error_of(kP2 + ")N" + op + ".", "instruments.pk");
        EXPECT_NE(what.find("\"instruments.pk\": pickle opcode " + name + " at byte 4 is refused"), std::string::npos)
            << what;
    }
}

TEST(Pickle, ReadsHandWrittenOpcodesCPythonRarelyEmits) {
    // BINUNICODE8, BINBYTES8, BYTEARRAY8, LONG4, BINSTRING, SHORT_BINSTRING, DICT, LIST, TUPLE,
    // SETITEM, POP, POP_MARK, DUP, LONG_BINPUT/LONG_BINGET.
    std::string p = kP2 + "(";
    p += std::string("\x8d\x02\0\0\0\0\0\0\0hi", 11);
    p += std::string("\x8e\x01\0\0\0\0\0\0\0\xff", 10);
    p += std::string("\x96\x00\0\0\0\0\0\0\0", 9);
    p += std::string("\x8b\x09\0\0\0\x00\x00\x00\x00\x00\x00\x00\x80\xff", 14);  // -2**63 in 9 bytes
    p += std::string("T\x03\0\0\0abc", 8);
    p += std::string("U\x01z", 3);
    p += "(N1";  // POP_MARK drops the N
    p += "N0";   // POP drops the N
    p += "K\x05"
         "2";                                  // DUP
    p += std::string("r\x00\x01\x00\x00", 5);  // LONG_BINPUT 256
    p += std::string("j\x00\x01\x00\x00", 5);  // LONG_BINGET 256
    p += "(K\x01K\x02l";                       // LIST
    p += "(K\x01K\x02t";                       // TUPLE
    p += "(X\x01\0\0\0kK\x01"
         "d"s;                // DICT
    p += "}X\x01\0\0\0aNs"s;  // SETITEM
    p += "l.";
    const Value v = loads(p, "hand.pk");
    EXPECT_EQ(render(v), "[s6869,bff,b,i-9223372036854775808,s616263,s7a,i5,i5,i5,[i1,i2],(i1,i2),{s6b:i1},{s61:N}]");
}

TEST(Pickle, LaterDuplicateKeysReplaceEarlierOnesAsInPython) {
    const Value v = loads(kP2 + "}(X\x01\0\0\0aK\x01X\x01\0\0\0bK\x02X\x01\0\0\0aK\x03u."s, "dup.pk");
    EXPECT_EQ(render(v), "{s61:i3,s62:i2}");
    // True and 1 are the same key in Python.
    EXPECT_EQ(render(loads(kP2 + "}(\x88K\x07K\x01K\x08u.", "b.pk")), "{T:i8}");
}

TEST(Pickle, MalformedInputGivesClearErrors) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", "ends early"},
        {kP2, "ends early"},
        {kP2 + ".", "stack underflow"},
        {kP2 + "NNa.", "APPEND needs a list below it, found a None"},
        {kP2 + "K\x01"
               "a.",
         "stack underflow"},
        {kP2 + "]e.", "MARK expected"},
        {kP2 + "}(K\x01u.", "odd number"},
        {kP2 + "h\x05.", "memo entry 5 is used before it is set"},
        {std::string("\x80\x06N.", 4), "unsupported pickle protocol 6"},
        {kP2 + "\xff.", "unknown opcode 0xff"},
        {kP2 + "I1\n.", "opcode INT is not read"},
        {kP2 + "\x8f.", "opcode EMPTY_SET is not read"},
        {kP2 + std::string("\x8a\x09\0\0\0\0\0\0\0\0\x01.", 12), "does not fit 64 bits"},
        {kP2 + std::string("\x8b\xff\xff\xff\xff.", 6), "negative byte count"},
        {kP2 + std::string("X\x02\0\0\0\xc3\x28.", 8), "not valid UTF-8"},
        {kP2 + std::string("X\xff\xff\xff\xff", 5) + "abc", "ends early"},
        {kP2 + std::string("\x8d\xff\xff\xff\xff\xff\xff\xff\xff", 9), "ends early"},
        {kP2 + std::string("U\x01\xe9.", 4), "not ASCII"},
        {kP2 + "}]K\x01s.", "dict key of type list"},
        {std::string("\x80\x04\x95\x03\0\0\0\0\0\0\0X\x05\0\0\0hello.", 22), "past the end of its frame"},
        {std::string("\x80\x04\x95\x03\0\0\0\0\0\0\0N\x95\x01\0\0\0\0\0\0\0N.", 23), "new frame begins"},
        {std::string("\x80\x04\x95\xff\0\0\0\0\0\0\0N.", 13), "truncated frame"},
        {kP2 + "]q\x00h\x00"
               "a."s,
         "refers to itself"},
        {kP2 + "](]q\x00h\x00"
               "ae."s,
         "refers to itself"},
    };
    for (const auto& [bytes, reason] : cases) {
        SCOPED_TRACE(hex(bytes));
        const std::string what = error_of(bytes, "/bundle/instruments.pk");
        EXPECT_NE(what.find("\"/bundle/instruments.pk\""), std::string::npos) << what;
        EXPECT_NE(what.find(reason), std::string::npos) << what;
    }
}

TEST(Pickle, AMarkFencesOffTheItemsBelowIt) {
    // As in CPython: POP with nothing above the last MARK drops the MARK, and no opcode that
    // takes items reaches below it.
    EXPECT_EQ(render(loads(kP2 + "K\x01(0.", "pop.pk")), "i1");
    for (const std::string& bytes : {kP2 + "]K\x01(a.", kP2 + "K\x01(2.", kP2 + "}K\x01K\x02(s.", kP2 + "K\x01(\x85.",
                                     kP2 + "K\x01(N0.", kP2 + "K\x01(."}) {
        SCOPED_TRACE(hex(bytes));
        const std::string what = error_of(bytes, "/bundle/instruments.pk");
        EXPECT_NE(what.find("stack underflow"), std::string::npos) << what;
    }
}

TEST(Pickle, TrailingBytesAfterStopAreIgnoredAsPickleLoadDoes) {
    EXPECT_EQ(render(loads(kP2 + "K\x07.garbage", "t.pk")), "i7");
}

TEST(Pickle, ACycleThatIsDroppedBeforeStopIsNotReturned) {
    // A list appended to itself, then popped: the result does not contain it.
    EXPECT_EQ(render(loads(kP2 + "]q\x00h\x00"
                                 "a0K\x01."s,
                           "c.pk")),
              "i1");
}

TEST(Pickle, DeepNestingLoadsAndIsReleasedWithoutRecursion) {
    constexpr int kDepth = 300000;
    const std::string p = kP2 + std::string(kDepth, ']') + std::string(kDepth - 1, 'a') + ".";
    {
        Value v = loads(p, "deep.pk");
        int depth = 1;
        const Value* cur = &v;
        while (!cur->items().empty()) {
            cur = &cur->items()[0];
            ++depth;
        }
        EXPECT_EQ(depth, kDepth);
    }  // released here: a recursive release would overflow the stack
    SUCCEED();
}

TEST(Pickle, ItemCountIsBounded) {
    // DUP and POP in turn: few items are alive at once, but the budget counts every one made.
    std::string p = kP2 + "N";
    for (int i = 0; i < 6000000; ++i) p += "20";
    const std::string what = error_of(p + ".");
    EXPECT_NE(what.find("more than 6000000 items"), std::string::npos) << what;
    // A memo entry counts too.
    p = kP2 + "N";
    for (int i = 0; i < 3000000; ++i) p += std::string("q\0q\0", 4);
    EXPECT_NE(error_of(p + ".").find("more than 6000000 items"), std::string::npos);
    // Below the budget the same shape loads.
    EXPECT_EQ(render(loads(kP2 + "N" + std::string(1000, '2') + std::string(1000, '0') + ".", "ok.pk")), "N");
}

TEST(Pickle, AFrameMayEndWithTheNextFrameOpcode) {
    // CPython accepts a FRAME opcode that is the last byte of the frame before it.
    const std::string p("\x80\x04\x95\x02\0\0\0\0\0\0\0N\x95\x01\0\0\0\0\0\0\0.", 22);
    EXPECT_EQ(render(loads(p, "frames.pk")), "N");
}

TEST(Pickle, MissingFileIsAnOsError) {
    TempDir dir;
    EXPECT_THROW(load((dir / "instruments.pk").string()), OsError);
}

std::vector<Record> sample_records() {
    const std::int64_t i64min = std::numeric_limits<std::int64_t>::min();
    const std::int64_t i64max = std::numeric_limits<std::int64_t>::max();
    std::vector<Record> records;
    for (std::int64_t v :
         {std::int64_t{0}, std::int64_t{255}, std::int64_t{256}, std::int64_t{65535}, std::int64_t{65536},
          std::int64_t{-1}, std::int64_t{-2147483648LL}, std::int64_t{2147483647}, std::int64_t{2147483648LL},
          std::int64_t{-2147483649LL}, std::int64_t{1} << 40, -(std::int64_t{1} << 47), i64min, i64max,
          std::int64_t{-128}, std::int64_t{128}, std::int64_t{-32768}, std::int64_t{32768}})
        records.push_back({{"value", v}});
    // More records than a batch of 1000, texts repeated (memo), None, bools, floats.
    for (int i = 0; i < 1300; ++i) {
        records.push_back({{"order_book_id", "60" + std::to_string(1000 + i) + ".XSHG"},
                           {"exchange", i % 3 ? std::string("XSHG") : std::string("BJSE")},
                           {"symbol", std::string("浦发银行") + std::to_string(i)},
                           {"de_listed_date", std::string("0000-00-00")},
                           {"round_lot", i % 2 ? Field{std::int64_t{100}} : Field{}},
                           {"flag", i % 2 == 0},
                           {"tick", 0.01 * i}});
    }
    records.push_back({});                 // an empty record
    records.push_back({{"only", "one"}});  // a single item: SETITEM, not SETITEMS
    return records;
}

TEST(Pickle, CPythonLoadsWhatWeWrite) {
    TempDir dir;
    const std::vector<Record> records = sample_records();
    const std::string path = (dir / "instruments.pk").string();
    dump_records(path, records);
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    const auto r = test::run_python_script("render_pickle.py", {path});
    ASSERT_EQ(r.exit_status, 0) << r.output;
    EXPECT_EQ(r.output, render(records));
    EXPECT_EQ(render(load(path)), render(records));
    // One record alone is appended with APPEND rather than APPENDS.
    const std::vector<Record> one{{{"a", std::int64_t{1}}}};
    EXPECT_EQ(render(loads(dumps_records(one), "one.pk")), render(one));
    EXPECT_EQ(render(loads(dumps_records({}), "none.pk")), "[]");
}

TEST(Pickle, WriterRefusesInvalidUtf8) { EXPECT_THROW(dumps_records({{{"symbol", std::string("\xff")}}}), ValueError); }

// Mutated and truncated copies of CPython's pickles: every outcome is a value or a ValueError.
TEST_F(CPythonPickles, MutatedFilesNeverCrash) {
    std::vector<std::string> seeds;
    for (const char* name : {"small_p2.pk", "small_p3.pk", "small_p4.pk", "small_p5.pk", "class_p2.pk", "class_p4.pk",
                             "reduce_system.pk", "nested.pk"})
        seeds.push_back(slurp(file(name)));
    seeds.push_back(dumps_records({{{"order_book_id", "000001.XSHE"}, {"n", std::int64_t{1} << 40}}}));
    std::mt19937_64 rng(4300470);
    int refused = 0;
    int read = 0;
    for (int iteration = 0; iteration < 5000; ++iteration) {
        std::string bytes = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            const std::size_t at = rng() % bytes.size();
            switch (rng() % 5) {
                case 0:
                    bytes[at] = static_cast<char>(rng());
                    break;
                case 1:
                    bytes.resize(at);
                    break;
                case 2:
                    bytes.insert(at, 1, "(.012NKJMXqh]}ea)tusl\x94\x95\x8c\x8a\x85"[rng() % 26]);
                    break;
                case 3:
                    bytes.erase(at, 1);
                    break;
                default: {  // duplicate a slice: repeats opcodes and memo references
                    const std::size_t len = 1 + rng() % 16;
                    bytes.insert(at, bytes.substr(rng() % bytes.size(), len));
                    break;
                }
            }
        }
        try {
            loads(bytes, "fuzz.pk");
            ++read;
        } catch (const ValueError& e) {
            ++refused;
            ASSERT_NE(std::string(e.what()).find("fuzz.pk"), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(fs::exists(marker()));
    EXPECT_GT(refused, 0);
    EXPECT_GT(read, 0);
}

}  // namespace
}  // namespace tarnwick::bundle::formats::pickle
