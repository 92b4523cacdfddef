#pragma once
// Symbol visibility of the shared libraries "diagnostics" and
// "diagnostics-service" (the bus): everything is hidden unless marked.
// DA_EXPORT marks a library's API: every class and struct defined in a header,
// every free function declared in one and every exported variable. Header-only
// code (templates, inline functions) needs no mark.
#define DA_EXPORT __attribute__((visibility("default")))
