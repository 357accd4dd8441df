#include "proxy/engine/VornellHttpErrorError.h"

namespace pemtrox {

namespace {
bool chooses(const ErrorPtr& error, int flag) {
    return isError(error, VornellHttpErrorError::domain) && (error->errorCase() & flag) != 0;
}
} // namespace

bool shouldDropConnection(const ErrorPtr& error) {
    return chooses(error, VornellHttpErrorError::dropsConnectionFlag);
}

bool useServiceUnavailable(const ErrorPtr& error) {
    return !chooses(error, VornellHttpErrorError::respondsForbiddenFlag);
}

std::string reportingTitle(const ErrorPtr& error) {
    if (error)
        if (auto title = error->errorTitle())
            return *title;
    return "An error occurred";
}

} // namespace pemtrox
