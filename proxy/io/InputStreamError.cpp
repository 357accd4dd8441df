#include "proxy/io/InputStreamError.h"

namespace pemtrox {

std::string InputStreamError::description() const {
    switch (kind_) {
    case Kind::invalidChunkLength:
        return "Failed to read chunk length";
    case Kind::invalidEndOfChunk:
        return "Invalid end of chunk";
    case Kind::invalidTrailer:
        return "Invalid chunk trailer";
    case Kind::readMarkerNotSupported:
        return "Read to marker not supported";
    case Kind::eof:
        return "EOF";
    case Kind::markerLimitExceeded:
        return "Marker not found within the read limit";
    }
    return "EOF";
}

bool InputStreamError::is(const ErrorPtr& error, Kind kind) {
    return isError(error, domain, static_cast<int>(kind));
}

} // namespace pemtrox
