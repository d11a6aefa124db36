#include "support/temp_dir.hpp"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace nimbra::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nimbra-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace nimbra::testing
