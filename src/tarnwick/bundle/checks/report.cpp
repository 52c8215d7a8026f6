#include "tarnwick/bundle/checks/report.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle::checks {

std::string identifier_of(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.substr(0, name.find(".h5"));
}

std::string rendered_identifiers(const std::vector<std::string>& paths) {
    std::string text = "[";
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (i > 0) text += ", ";
        text += "'" + identifier_of(paths[i]) + "'";
    }
    return text + "]";
}

void deal_with_check_result(const std::vector<std::string>& error_file_path_list,
                            const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency) {
    settle_check_result(error_file_path_list, blocking_or_permision_error, frequency);
}

bool settle_check_result(const std::vector<std::string>& error_file_path_list,
                         const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency) {
    const std::size_t len_err = error_file_path_list.size();
    const std::size_t len_blocking_or_permission_error = blocking_or_permision_error.size();
    if (len_err == 0 && len_blocking_or_permission_error == 0) {
        host::print_line("\n检测完成：" + frequency + "数据质量良好！");
        return true;
    }
    host::print_line(fmt::format("\n检测完成：共有{}个标的{}数据存在异常，{}个文件被其他进程占用或没有权限。", len_err,
                                 frequency, len_blocking_or_permission_error));
    if (len_err > 0) host::print_line("数据异常标的如下:\n" + rendered_identifiers(error_file_path_list) + "\n");
    if (len_blocking_or_permission_error > 0)
        host::print_line("被其他进程占用或没有权限的文件如下:\n" + rendered_identifiers(blocking_or_permision_error) +
                         "\n");

    host::print("是否删除异常数据(yes/no):");
    std::optional<std::string> answer = host::read_line();
    if (!answer) throw EndOfInput("standard input ended before the answer to the deletion question");
    std::string is_ok = *answer;
    std::transform(is_ok.begin(), is_ok.end(), is_ok.begin(), [](unsigned char c) { return std::tolower(c); });

    if (is_ok == "yes" || is_ok == "y") {
        host::print_line("\n准备删除异常数据！");
        host::Progress progress("deleting", len_err);
        for (const auto& path : error_file_path_list) {
            layout::remove_h5(path);
            progress.step();
        }
        progress.finish();
        host::print_line(fmt::format("\n删除完成！共删除{}个标的。", len_err));
        return len_blocking_or_permission_error == 0;
    }
    if (is_ok == "no" || is_ok == "n") {
        host::print_line("\n异常数据未删除！");
    } else {
        host::print_line("\n输入异常！异常数据未删除!");
    }
    return false;
}

}  // namespace tarnwick::bundle::checks
