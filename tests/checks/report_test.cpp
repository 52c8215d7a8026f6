// The check report: texts byte for byte, the four accepted answers, and which files go.
#include "tarnwick/bundle/checks/report.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>

#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/console.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = host::set_console({[this](const std::string& t) { out += t; },
                                       [this]() -> std::optional<std::string> {
                                           if (answers.empty()) return std::nullopt;
                                           auto a = answers.front();
                                           answers.pop_front();
                                           return a;
                                       }});
    }
    void TearDown() override { host::set_console(previous_); }
    std::string touch(const std::string& name) {
        const auto p = dir / name;
        std::ofstream(p) << "x";
        return p.string();
    }

    test::TempDir dir;
    std::string out;
    std::deque<std::string> answers;
    host::ConsoleHooks previous_;
};

TEST(ReportRendering, IdentifiersFromPaths) {
    EXPECT_EQ(rendered_identifiers({"/b/h5/equities/000001.XSHE.h5", "/b/h5/future/IF2312.h5"}),
              "['000001.XSHE', 'IF2312']");
    EXPECT_EQ(identifier_of("/x/README"), "README");
    EXPECT_EQ(identifier_of("/x/a.h5.h5"), "a");
    EXPECT_EQ(rendered_identifiers({}), "[]");
}

TEST_F(Report, NothingWrongAsksNothing) {
    deal_with_check_result({}, {}, "分钟");
    EXPECT_EQ(out, "\n检测完成：分钟数据质量良好！\n");
}

TEST_F(Report, YesDeletesAbnormalFilesOnlyAndCountsThem) {
    const auto bad1 = touch("000001.XSHE.h5");
    const auto bad2 = touch("IF2312.h5");
    const auto blocked = touch("600000.XSHG.h5");
    answers = {"YES"};
    deal_with_check_result({bad1, bad2}, {blocked}, "tick");
    EXPECT_EQ(out,
              "\n检测完成：共有2个标的tick数据存在异常，1个文件被其他进程占用或没有权限。\n"
              "数据异常标的如下:\n['000001.XSHE', 'IF2312']\n\n"
              "被其他进程占用或没有权限的文件如下:\n['600000.XSHG']\n\n"
              "是否删除异常数据(yes/no):"
              "\n准备删除异常数据！\n"
              "\n删除完成！共删除2个标的。\n");
    EXPECT_FALSE(fs::exists(bad1));
    EXPECT_FALSE(fs::exists(bad2));
    EXPECT_TRUE(fs::exists(blocked));
}

TEST_F(Report, OnlyBlockedStillAsksAndDeletesNothing) {
    const auto blocked = touch("600000.XSHG.h5");
    answers = {"y"};
    deal_with_check_result({}, {blocked}, "分钟");
    EXPECT_NE(out.find("共有0个标的分钟数据存在异常，1个文件"), std::string::npos);
    EXPECT_EQ(out.find("数据异常标的如下"), std::string::npos);
    EXPECT_NE(out.find("\n删除完成！共删除0个标的。\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(blocked));
}

TEST_F(Report, AnswersAreCaseFoldedButNotTrimmed) {
    for (const std::string answer : {"No", "N"}) {
        const auto bad = touch("a.h5");
        out.clear();
        answers = {answer};
        deal_with_check_result({bad}, {}, "tick");
        EXPECT_TRUE(out.ends_with("是否删除异常数据(yes/no):\n异常数据未删除！\n")) << answer;
        EXPECT_TRUE(fs::exists(bad));
    }
    for (const std::string answer : {" yes", "yes ", "", "ok"}) {
        const auto bad = touch("a.h5");
        out.clear();
        answers = {answer};
        deal_with_check_result({bad}, {}, "tick");
        EXPECT_TRUE(out.ends_with("\n输入异常！异常数据未删除!\n")) << "[" << answer << "]";
        EXPECT_TRUE(fs::exists(bad));
    }
}

TEST_F(Report, EndOfInputAtTheQuestionIsAnErrorAndDeletesNothing) {
    const auto bad = touch("a.h5");
    EXPECT_THROW(deal_with_check_result({bad}, {}, "tick"), EndOfInput);
    EXPECT_TRUE(fs::exists(bad));
}

}  // namespace
}  // namespace tarnwick::bundle::checks
