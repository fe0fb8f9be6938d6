// Process is part of the shared test support; the end-to-end suites include it by this name.
#pragma once
#include "support/test_support.h"
