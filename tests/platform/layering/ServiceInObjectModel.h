#pragma once
// Not compiled: a stand-in for an object-model header that reaches into the
// Linux services, which the layering check must refuse (tests/CMakeLists.txt).
#include "platform/linux/VxLog.h"
