#include "support/store_contents.hpp"

#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::test {

std::map<std::string, std::string> store_contents(const std::filesystem::path& root) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().extension() != ".h5" || entry.path().filename() == "suspended_days.h5") continue;
        h5::File file = h5::File::open(entry.path().string(), h5::File::Access::ReadOnly);
        for (const std::string& member : file.members()) {
            const h5::Dataset dataset = file.open_dataset(member);
            const h5::DataType type = dataset.file_type();
            // Sized by the file's own claim only once it is checked: a damaged file must fail the
            // test, not exhaust the machine's memory.
            const hsize_t rows = dataset.readable_rows(type.size());
            std::string bytes(rows * type.size(), '\0');
            if (!bytes.empty()) dataset.read_rows(type.id(), 0, rows, bytes.data());
            contents[std::filesystem::relative(entry.path(), root).string() + ":" + member] = std::move(bytes);
        }
    }
    return contents;
}

}  // namespace tarnwick::bundle::test
