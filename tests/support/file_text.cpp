#include "support/file_text.hpp"

#include <fstream>
#include <stdexcept>

#include "base/atomic_file.hpp"

namespace nimbra::testing {

std::string readFile(const std::filesystem::path& path) {
    return readWholeFile(path).value_or("");
}

void writeFile(const std::filesystem::path& path, std::string_view contents) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace nimbra::testing
