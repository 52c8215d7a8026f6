#include "tarnwick/bundle/formats/npy.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "host/run_python.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::formats {
namespace {

using test::TempDir;

const std::vector<std::int64_t> kDates{20050104, 20050105, 20161230, 20240229, 20261231};

std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Files written by numpy.save, made once for the whole suite.
class NumpyFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        const auto r = test::run_python_script("make_npy.py", {dir_->str()});
        ASSERT_EQ(r.exit_status, 0) << r.output;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string file(const std::string& name) { return (*dir_ / name).string(); }
    static TempDir* dir_;
};
TempDir* NumpyFiles::dir_ = nullptr;

TEST_F(NumpyFiles, ReadsEveryIntegerAndDateTypeNumpyWrites) {
    for (const char* name : {"int32.npy", "int64.npy", "int64_be.npy", "int32_be.npy", "uint32.npy", "uint64_be.npy",
                             "S8.npy", "U8.npy", "U8_be.npy", "S10.npy", "days.npy", "int64_v2.npy"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(read_npy(file(name)), kDates);
    }
    EXPECT_EQ(read_npy(file("int8.npy")), (std::vector<std::int64_t>{0, 1, 100, 127}));
    EXPECT_EQ(read_npy(file("uint8.npy")), (std::vector<std::int64_t>{0, 1, 100, 127}));
    EXPECT_EQ(read_npy(file("int16.npy")), (std::vector<std::int64_t>{-32768, -1, 0, 32767}));
    EXPECT_TRUE(read_npy(file("empty.npy")).empty());
}

TEST_F(NumpyFiles, RefusesWhatIsNotAOneDimensionalIntegerOrDateArray) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"float64.npy", "unsupported element type '<f8'"},       {"two_dim.npy", "one-dimensional array was expected"},
        {"scalar.npy", "one-dimensional array was expected"},    {"structured.npy", "not a plain type"},
        {"S8_not_date.npy", "element 0 is not an 8-digit date"}, {"object.npy", "unsupported element type '|O'"},
    };
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        try {
            read_npy(file(name));
            ADD_FAILURE() << "no error";
        } catch (const ValueError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(file(name)), std::string::npos) << what;
            EXPECT_NE(what.find(reason), std::string::npos) << what;
        }
    }
}

TEST_F(NumpyFiles, EveryTruncationIsAClearError) {
    const std::string bytes = slurp(file("int64.npy"));
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_THROW(decode_npy(std::string_view(bytes).substr(0, n), "cut.npy"), ValueError);
    }
    // Bytes after the last element are ignored, as numpy.load ignores them.
    EXPECT_EQ(decode_npy(bytes + "junk", "long.npy"), kDates);
}

TEST(Npy, MissingFileIsAnOsError) {
    TempDir dir;
    EXPECT_THROW(read_npy((dir / "trading_dates.npy").string()), OsError);
}

TEST(Npy, AHugeAnnouncedLengthIsRefusedBeforeAllocating) {
    std::string bytes = encode_npy(kDates);
    const auto at = bytes.find("(5,)");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 4, "(999999999999999999,)");  // the header stays within its padding
    bytes.erase(bytes.find('\n') - 17, 17);
    try {
        decode_npy(bytes, "huge.npy");
        FAIL() << "no error";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("truncated"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("huge.npy"), std::string::npos) << e.what();
    }
}

TEST(Npy, HeaderLiteralIsParsedNotEvaluated) {
    const auto with_header = [](const std::string& header) {
        std::string bytes("\x93NUMPY\x01\x00", 8);
        bytes += static_cast<char>(header.size() & 0xff);
        bytes += static_cast<char>(header.size() >> 8);
        return bytes + header;
    };
    // Python 2 wrote long integers with an L; double quotes are valid literals too.
    EXPECT_EQ(decode_npy(with_header("{\"descr\": '<i2', 'fortran_order': True, 'shape': (1L,)}\n") +
                             std::string("\x07\x00", 2),
                         "py2.npy"),
              std::vector<std::int64_t>{7});
    for (const char* bad : {"{'descr': '<i8', 'fortran_order': __import__('os'), 'shape': (0,)}",
                            "{'descr': '<i8', 'fortran_order': False}",
                            "{'descr': '<i8', 'fortran_order': False, 'shape': (0,), 'extra': 1}",
                            "{'descr': '<i8', 'descr': '<i8', 'fortran_order': False, 'shape': (0,)}",
                            "{'descr': '<i8', 'fortran_order': False, 'shape': (-1,)}",
                            "{'descr': '<i8', 'fortran_order': False, 'shape': (0,)} trailing",
                            "{'descr': '<i8', 'fortran_order': False, 'shape': ((((((((((0,),),),),),),),),),)}",
                            "{'descr': '<i3', 'fortran_order': False, 'shape': (0,)}",
                            "{'descr': '|i8', 'fortran_order': False, 'shape': (0,)}",
                            "{'descr': '<i8', 'fortran_order': False, 'shape': (99999999999999999999,)}", "['descr']",
                            "{'descr': '<i8"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(decode_npy(with_header(bad), "bad.npy"), ValueError);
    }
}

TEST(Npy, UnsignedValuesBeyondInt64AreRefused) {
    std::string bytes = encode_npy(std::vector<std::int64_t>{1}, NpyElement{NpyElement::Kind::Unsigned, 8, false});
    bytes.replace(bytes.size() - 8, 8, std::string(8, '\xff'));
    EXPECT_THROW(decode_npy(bytes, "u8.npy"), ValueError);
}

TEST(Npy, WriterRefusesValuesThatDoNotFit) {
    EXPECT_THROW(encode_npy(std::vector<std::int64_t>{std::int64_t{1} << 31}, NpyElement::int32()), ValueError);
    EXPECT_NO_THROW(encode_npy(std::vector<std::int64_t>{(std::int64_t{1} << 31) - 1}, NpyElement::int32()));
    EXPECT_THROW(encode_npy(std::vector<std::int64_t>{-1}, NpyElement{NpyElement::Kind::Unsigned, 2, false}),
                 ValueError);
    EXPECT_THROW(encode_npy(std::vector<std::int64_t>{1234567}, NpyElement::text()), ValueError);
    EXPECT_THROW(encode_npy(kDates, NpyElement::text(7)), ValueError);
    EXPECT_THROW(encode_npy(std::vector<std::int64_t>{20230230}, NpyElement{NpyElement::Kind::Days, 8, false}),
                 ValueError);
    EXPECT_THROW(encode_npy(kDates, NpyElement{NpyElement::Kind::Signed, 3, false}), ValueError);
}

TEST(Npy, DataStartsOnA64ByteBoundary) {
    for (std::size_t n : {0, 1, 5, 1000000}) {
        const std::string bytes = encode_npy(std::vector<std::int64_t>(n, 20050104));
        EXPECT_EQ((bytes.size() - n * 8) % 64, 0u);
    }
}

// What we write, numpy.load reads back with the same element type and values.
TEST(Npy, NumpyLoadsWhatWeWrite) {
    TempDir dir;
    const std::vector<std::pair<NpyElement, std::string>> types{
        {NpyElement::int64(), "<i8"},
        {NpyElement::int32(), "<i4"},
        {NpyElement{NpyElement::Kind::Signed, 8, true}, ">i8"},
        {NpyElement{NpyElement::Kind::Unsigned, 4, true}, ">u4"},
        {NpyElement::text(), "|S8"},
        {NpyElement{NpyElement::Kind::Unicode, 8, false}, "<U8"},
        {NpyElement{NpyElement::Kind::Unicode, 8, true}, ">U8"},
        {NpyElement{NpyElement::Kind::Days, 8, false}, "<M8[D]"},
    };
    std::string expected_values;
    for (std::size_t i = 0; i < kDates.size(); ++i) expected_values += (i ? "," : "") + std::to_string(kDates[i]);
    std::vector<std::string> paths;
    std::string expected_output;
    for (const auto& [element, descr] : types) {
        SCOPED_TRACE(descr);
        EXPECT_EQ(element.descr(), descr);
        const std::string path = (dir / ("dates" + std::to_string(paths.size()) + ".npy")).string();
        write_npy(path, kDates, element);
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
        EXPECT_EQ(read_npy(path), kDates);
        paths.push_back(path);
        expected_output += descr + "\n" + expected_values + "\n";
    }
    const auto r = test::run_python_script("print_npy.py", paths);
    ASSERT_EQ(r.exit_status, 0) << r.output;
    EXPECT_EQ(r.output, expected_output);
}

// Mutated and truncated copies of numpy's files: every outcome is a value or a ValueError.
TEST_F(NumpyFiles, MutatedFilesNeverCrash) {
    std::vector<std::string> seeds;
    for (const auto& entry : std::filesystem::directory_iterator(dir_->path())) seeds.push_back(slurp(entry.path()));
    ASSERT_GE(seeds.size(), 20u);
    std::mt19937_64 rng(20050104);
    int refused = 0;
    int read = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        std::string bytes = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            // Header bytes (the first 128) are hit more often: that is where the parsing is.
            const std::size_t at =
                (rng() % 2 ? rng() % std::min<std::size_t>(bytes.size(), 128) : rng() % bytes.size());
            switch (rng() % 4) {
                case 0:
                    bytes[at] = static_cast<char>(rng());
                    break;
                case 1:
                    bytes.resize(at);
                    break;
                case 2:
                    bytes.insert(at, 1, "0123456789(),:'{} -<>|SUiMu"[rng() % 27]);
                    break;
                default:
                    bytes.erase(at, 1);
                    break;
            }
        }
        try {
            decode_npy(bytes, "fuzz.npy");
            ++read;
        } catch (const ValueError& e) {
            ++refused;
            ASSERT_NE(std::string(e.what()).find("fuzz.npy"), std::string::npos) << e.what();
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(read, 0);
}

}  // namespace
}  // namespace tarnwick::bundle::formats
