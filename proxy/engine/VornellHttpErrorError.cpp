#include "proxy/engine/VornellHttpErrorError.h"

namespace pemtrox {

namespace {
const VornellHttpErrorError* asHttpError(const ErrorPtr& error) {
    return dynamic_cast<const VornellHttpErrorError*>(error.get());
}
} // namespace

bool shouldDropConnection(const ErrorPtr& error) {
    auto http = asHttpError(error);
    return http && http->dropsConnection();
}

bool useServiceUnavailable(const ErrorPtr& error) {
    auto http = asHttpError(error);
    return !(http && http->respondsForbidden());
}

std::string reportingTitle(const ErrorPtr& error) {
    if (error)
        if (auto title = error->errorTitle())
            return *title;
    return "An error occurred";
}

} // namespace pemtrox
