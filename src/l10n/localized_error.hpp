#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "model/app_language.hpp"

namespace nimbra {

// The base of every subsystem's error: it knows how to describe itself to the user in either
// language. what() gives the English description for logs.
class LocalizedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual std::string description(AppLanguage language) const = 0;
};

// The user-facing text of any error that reaches the controller.
inline std::string describeError(std::exception_ptr error, AppLanguage language) {
    try {
        std::rethrow_exception(error);
    } catch (const LocalizedError& e) {
        return e.description(language);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace nimbra
