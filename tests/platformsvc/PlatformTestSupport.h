#pragma once
// The platform service tests know the shared test helpers by a short name.

#include "support/TestEnv.h"

namespace psvc = da::test;
