#pragma once

#include <optional>
#include <string>

namespace nimbra::testing {

// Sets (or unsets) one environment variable for the life of the object, then restores it.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace nimbra::testing
