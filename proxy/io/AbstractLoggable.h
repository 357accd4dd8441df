#pragma once

#include "proxy/io/Plumber.h"

namespace pemtrox {

/// Root of streams, sockets and buffers: counted by Plumber. Concrete classes are made
/// through factories that call Plumber::trackInit (Plumber::make does).
class AbstractLoggable : public PlumberTracked {
public:
    ~AbstractLoggable() override = default;
};

} // namespace pemtrox
