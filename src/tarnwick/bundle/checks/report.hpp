#pragma once
// The report that closes a check: a summary of the abnormal and the blocked files, the
// question whether to delete the abnormal ones, and their deletion on a yes. Blocked files are
// only listed, never deleted. One line is read from the console; a failed deletion and the end
// of input propagate.
#include <string>
#include <vector>

namespace tarnwick::bundle::checks {

void deal_with_check_result(const std::vector<std::string>& error_file_path_list,
                            const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency);

// The same report; true when nothing bad is left afterwards: the files were all good, or every
// abnormal file was deleted and none was blocked (the command line's exit status).
bool settle_check_result(const std::vector<std::string>& error_file_path_list,
                         const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency);

// "['000001.XSHE', 'IF2312']" for the paths of those two store files.
std::string rendered_identifiers(const std::vector<std::string>& paths);

// The identifier of a store file path: its last component cut before the first ".h5".
std::string identifier_of(const std::string& path);

}  // namespace tarnwick::bundle::checks
