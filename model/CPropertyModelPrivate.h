#pragma once
// Per-class state of record classes, shared by the parts of CPropertyModel.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "model/CPropertyModel.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxTextServicesPrivate.h"

// A slot that is read and replaced as one atomic step. holdsEntries() tells,
// without taking a reference, whether it holds a non-empty collection: a hot
// path skips an empty one that way (a load takes the slot's lock and a count).
template <class T>
class CPMSlot {
  public:
    std::shared_ptr<T> load() const { return value_.load(std::memory_order_acquire); }
    void store(std::shared_ptr<T> v) {
        const bool entries = v && !v->empty();
        const T* raw = v.get();
        value_.store(std::move(v), std::memory_order_release);
        raw_.store(raw, std::memory_order_release);
        holdsEntries_.store(entries, std::memory_order_release);
    }
    bool holdsEntries() const { return holdsEntries_.load(std::memory_order_acquire); }
    // Stores like store(), but keeps the object it replaces alive for as long
    // as the slot: for a slot read through peek(), whose readers hold no
    // reference (the attribute table, stored at class set-up and again only if
    // the set-up is asked for once more).
    void publish(std::shared_ptr<T> v) {
        std::lock_guard lock(retiredLock_);
        if (std::shared_ptr<T> old = load()) retired_.push_back(std::move(old));
        store(std::move(v));
    }
    // The held object without taking a reference. Only for a slot written
    // through publish(): every object it ever held lives as long as the slot.
    const T* peek() const { return raw_.load(std::memory_order_acquire); }

  private:
    std::atomic<std::shared_ptr<T>> value_;
    std::atomic<const T*> raw_{nullptr};
    std::atomic<bool> holdsEntries_{false};
    std::mutex retiredLock_;
    std::vector<std::shared_ptr<T>> retired_;
};

struct CPropertyModel::ClassState {
    const VxClass* cls = nullptr;
    ClassHooks hooks;
    bool isRoot = false;  // CPropertyModel itself

    // Class-level initialisation runs once, under initLock. The lock is
    // recursive so that the set-up may call the class's own operations (its
    // dateFormatString or hand-written accessors may): such a call from the
    // thread running the set-up finds `initializing` and returns at once,
    // while other threads wait for the set-up to finish.
    std::recursive_mutex initLock;
    bool initializing = false;  // guarded by initLock
    bool attempted = false;     // guarded by initLock
    std::atomic<bool> initialized{false};
    std::optional<CPropertyModelException> failure;

    CPropertyAccessorTable accessors;

    std::atomic<std::uint64_t> options{0};
    CPMSlot<VxDictionary> attributes;  // published at class set-up
    CPMSlot<VxArray> orderedNames;
    CPMSlot<VxArray> printNames;
    CPMSlot<VxDictionary> translation;

    // Formatters, made on first use (which loads the text services) and then
    // kept; each is made and used only under its kind's lock. The date pattern
    // is taken at the end of class set-up and not changed afterwards; a class
    // without one (the root, a class whose set-up failed) has no formatters.
    template <class Format>
    struct Formatter {
        Format format;
        bool made = false;
    };
    VxStringPtr datePattern;
    Formatter<vx::text::DateFormat> dateFormatter;
    Formatter<vx::text::NumberFormat> numberFormatter;
    Formatter<vx::text::NumberFormat> decimalFormatter;
};

namespace cpm_detail {

// State of a class of the family (made on first request); nothing for classes
// outside it.
DA_EXPORT CPropertyModel::ClassState* stateFor(const VxClass& cls);
// Takes the class's date pattern for its formatters (last step of class
// initialisation); the formatters themselves are made on first use.
DA_EXPORT void prepareFormatters(CPropertyModel::ClassState& state);
// The process's null marker, fetched once.
DA_EXPORT const Id& nullMarker();
// The storage key of a property: the translation entry when there is one.
DA_EXPORT std::string_view storageKey(const VxDictionaryPtr& translation, std::string_view property,
                                      VxStringPtr& holder);

}  // namespace cpm_detail
