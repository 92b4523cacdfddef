#pragma once
// Not compiled: a stand-in for a Linux services header that reaches into the
// bus, which the layering check must refuse (tests/CMakeLists.txt).
#include "platform/bus/VxServiceClient.h"
