#pragma once
// Work that may wait until the current call has answered.
//
// A service answers its caller as soon as the answer is known. Releasing what
// the call built on the way (requests, replies, parsed values) and tidying up
// after a transfer can wait until the answer has gone out: the caller then
// does not wait for it. A VxDeferredScope open on a thread collects that work;
// it runs when the scope closes, in the order it was handed in. Without an open
// scope the work runs at once, so code that defers works the same everywhere.
//
// Only work without an observable effect belongs here: the release of plain
// values and of resources nobody else waits for. Scopes nest; an inner scope
// runs only what was handed in while it was the innermost one.

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/foundation/VxExport.h"

class DA_EXPORT VxDeferredScope {
  public:
    VxDeferredScope();
    ~VxDeferredScope();
    VxDeferredScope(const VxDeferredScope&) = delete;
    VxDeferredScope& operator=(const VxDeferredScope&) = delete;

  private:
    std::size_t start_;
};

namespace vx {

// Keeps a reference to `object` until the innermost open scope of this thread
// closes; without one it is dropped at once.
DA_EXPORT void releaseLater(std::shared_ptr<const void> object);

// Runs `work` when the innermost open scope of this thread closes; without one
// it runs at once. The work must not throw.
DA_EXPORT void runLater(std::function<void()> work);

// True while a scope is open on this thread.
DA_EXPORT bool deferring();

}  // namespace vx
