#include "platform/Error.h"

#include <cstring>

namespace pemtrox {

const char* Error::what() const noexcept {
    try {
        what_ = description();
    } catch (...) {
        return "error";
    }
    return what_.c_str();
}

ErrorPtr currentError() {
    try {
        throw;
    } catch (const Error& e) {
        return e.clone();
    } catch (const std::exception& e) {
        return makeError<GenericError>(e.what());
    } catch (...) {
        return makeError<GenericError>("Unknown error");
    }
}

std::string describe(const ErrorPtr& error) { return error ? error->description() : std::string(); }

ErrorPtr systemError(const std::string& what, int errnum) {
    return makeError<GenericError>(what + ": " + std::strerror(errnum));
}

} // namespace pemtrox
