#include "platform/foundation/VxDeferred.h"

#include <utility>
#include <vector>

namespace {

// The work handed in on this thread. A closing scope takes its own share from
// the back; the vector keeps its capacity, so a steady stream of calls does not
// allocate here.
struct DeferredWork {
    std::vector<std::shared_ptr<const void>> items;
    int depth = 0;
};

thread_local DeferredWork tDeferred;

}  // namespace

VxDeferredScope::VxDeferredScope() : start_(tDeferred.items.size()) {
    ++tDeferred.depth;
}

VxDeferredScope::~VxDeferredScope() {
    DeferredWork& work = tDeferred;
    // Releasing an item may hand in more (a container whose elements defer);
    // those run here too, before the scope is gone.
    for (std::size_t at = start_; at < work.items.size(); ++at) {
        std::shared_ptr<const void> item = std::move(work.items[at]);
        item.reset();
    }
    work.items.resize(start_);
    --work.depth;
}

namespace vx {

void releaseLater(std::shared_ptr<const void> object) {
    if (!object) return;
    if (tDeferred.depth > 0) tDeferred.items.push_back(std::move(object));
}

void runLater(std::function<void()> work) {
    if (!work) return;
    if (tDeferred.depth == 0) {
        work();
        return;
    }
    // The work runs when its holder is released, whatever the holder points to.
    tDeferred.items.push_back(
        std::shared_ptr<const void>(nullptr, [work = std::move(work)](const void*) { work(); }));
}

bool deferring() {
    return tDeferred.depth > 0;
}

}  // namespace vx
