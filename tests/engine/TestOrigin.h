#pragma once
// Moved to tests/support so that every subsystem's tests can use it.
#include "tests/support/TestOrigin.h"
