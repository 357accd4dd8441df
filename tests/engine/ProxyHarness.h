#pragma once
// Moved to tests/support so that every subsystem's tests can run the proxy.
#include "tests/support/proxy/ProxyHarness.h"
