// HDF5's error printing is the caller's setting outside our calls (the Python module shares its
// process with h5py), and a close that fails where nothing can be thrown is reported, not lost.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/log.hpp"

namespace tarnwick::bundle::h5 {
namespace {

using test::TempDir;

int printed = 0;
herr_t count_printing(hid_t, void*) {
    ++printed;
    return 0;
}

// Installs a printer of its own for the test, as h5py would, and puts the previous one back.
class CallerPrinting : public ::testing::Test {
protected:
    void SetUp() override {
        H5open();
        H5Eget_auto2(H5E_DEFAULT, &saved_, &saved_data_);
        H5Eset_auto2(H5E_DEFAULT, count_printing, nullptr);
        printed = 0;
    }
    void TearDown() override { H5Eset_auto2(H5E_DEFAULT, saved_, saved_data_); }

    static H5E_auto2_t current() {
        H5E_auto2_t func = nullptr;
        void* data = nullptr;
        H5Eget_auto2(H5E_DEFAULT, &func, &data);
        return func;
    }

private:
    H5E_auto2_t saved_ = nullptr;
    void* saved_data_ = nullptr;
};

TEST_F(CallerPrinting, GuardsSilenceThePrintingAndNestedOnesRestoreTheCallersSetting) {
    {
        const QuietErrors outer;
        EXPECT_EQ(current(), nullptr);
        {
            const QuietErrors inner;
            EXPECT_EQ(current(), nullptr);
        }
        EXPECT_EQ(current(), nullptr) << "an inner guard must not restore the printing early";
    }
    EXPECT_EQ(current(), &count_printing);
}

TEST_F(CallerPrinting, OurFailingCallsThrowWithoutPrintingWhileTheCallersOwnStillPrint) {
    TempDir dir;
    const std::string missing = (dir.path() / "missing.h5").string();
    EXPECT_THROW(File::open(missing, File::Access::ReadOnly), std::exception);
    EXPECT_EQ(printed, 0);
    EXPECT_EQ(current(), &count_printing);

    const hid_t id = H5Fopen(missing.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);  // the caller's own call
    EXPECT_LT(id, 0);
    EXPECT_EQ(printed, 1);
}

std::vector<std::string> reported;
void collect(const std::string& text) { reported.push_back(text); }

TEST(FailedClose, ADestructorsFailedCloseReachesTheReporterWithHdf5sReason) {
    reported.clear();
    const CloseFailureReporter previous = set_close_failure_reporter(collect);
    {
        // A predefined datatype cannot be closed: HDF5 refuses with an error of its own.
        Handle immutable(H5T_NATIVE_INT, H5Tclose);
    }
    set_close_failure_reporter(previous);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("closing an HDF5 object failed: "), std::string::npos) << reported[0];
}

TEST(FailedClose, TheLogInstallsItselfAndRecordsTheFailureAsAWarning) {
    std::vector<std::pair<std::string, std::string>> records;
    const auto previous = host::system_log().observe(
        [&records](const std::string& level, const std::string& text) { records.emplace_back(level, text); });
    { Handle immutable(H5T_NATIVE_INT, H5Tclose); }
    host::system_log().observe(previous);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].first, "warning");
    EXPECT_NE(records[0].second.find("closing an HDF5 object failed"), std::string::npos) << records[0].second;
}

}  // namespace
}  // namespace tarnwick::bundle::h5
