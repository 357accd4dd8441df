#pragma once

#include "proxy/engine/ProxyConnection.h"
#include "proxy/io/Plumber.h"

namespace pemtrox {

/// The base of client connections; counted per concrete type.
class AbstractProxyConnection : public PlumberTracked, public ProxyConnection {};

} // namespace pemtrox
