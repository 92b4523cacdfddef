#include "model/CJSONUtilities.h"

#include <cmath>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

// What a value is, as far as JSON is concerned.
enum class Kind {
    Absent,
    String,
    Number,
    Decimal,
    Null,
    Array,
    Dictionary,
    OrderedSet,
    Set,
    Other
};

// Class identities of the value classes, looked up once. The exact-class
// comparisons are the fast path; subclasses fall back to dynamic_cast.
struct ValueClasses {
    const VxClass* string = &VxString::classObject();
    const VxClass* number = &VxNumber::classObject();
    const VxClass* decimal = &VxDecimalNumber::classObject();
    const VxClass* null = &VxNull::classObject();
    const VxClass* array = &VxArray::classObject();
    const VxClass* mutableArray = &VxMutableArray::classObject();
    const VxClass* dictionary = &VxDictionary::classObject();
    const VxClass* mutableDictionary = &VxMutableDictionary::classObject();
};

const ValueClasses& valueClasses() {
    static const ValueClasses classes;
    return classes;
}

Kind kindOf(const VxObject* obj) {
    if (!obj) return Kind::Absent;
    const ValueClasses& vc = valueClasses();
    const VxClass* cls = &obj->isa();
    if (cls == vc.string) return Kind::String;
    if (cls == vc.number) return Kind::Number;
    if (cls == vc.array || cls == vc.mutableArray) return Kind::Array;
    if (cls == vc.dictionary || cls == vc.mutableDictionary) return Kind::Dictionary;
    if (cls == vc.null) return Kind::Null;
    if (cls == vc.decimal) return Kind::Decimal;
    if (dynamic_cast<const VxString*>(obj)) return Kind::String;
    if (dynamic_cast<const VxNumber*>(obj)) return Kind::Number;
    if (dynamic_cast<const VxDecimalNumber*>(obj)) return Kind::Decimal;
    if (dynamic_cast<const VxNull*>(obj)) return Kind::Null;
    if (dynamic_cast<const VxArray*>(obj)) return Kind::Array;
    if (dynamic_cast<const VxDictionary*>(obj)) return Kind::Dictionary;
    if (dynamic_cast<const VxOrderedSet*>(obj)) return Kind::OrderedSet;
    if (dynamic_cast<const VxSet*>(obj)) return Kind::Set;
    return Kind::Other;
}

bool isScalar(Kind kind) {
    return kind == Kind::String || kind == Kind::Number || kind == Kind::Decimal ||
           kind == Kind::Null;
}

// ---------------------------------------------------------------------------
// Rebuilding a value tree. Both cleaning passes walk the tree with an explicit
// stack rather than by recursion, so that a deeply nested input cannot exhaust
// the thread's stack, and both refuse to follow a container back into one of
// its own ancestors (a cycle has no JSON form and would never end).

enum class Pass { Clean, RemoveNulls };

struct Frame {
    const VxObject* source = nullptr;        // the container being visited
    const std::vector<Id>* items = nullptr;  // its elements, or a dictionary's values
    const std::vector<Id>* keys = nullptr;   // a dictionary's keys, else nullptr
    std::size_t next = 0;                    // position of the member visited next
    std::vector<Id> outItems;
    std::vector<Id> outKeys;
};

Frame frameFor(const VxObject* container, Kind kind) {
    Frame frame;
    frame.source = container;
    frame.keys = nullptr;
    switch (kind) {
        case Kind::Array:
            frame.items = &static_cast<const VxArray*>(container)->items();
            break;
        case Kind::Dictionary: {
            const auto* dict = static_cast<const VxDictionary*>(container);
            frame.items = &dict->values();
            frame.keys = &dict->keys();
            break;
        }
        case Kind::OrderedSet:
            frame.items = &static_cast<const VxOrderedSet*>(container)->array();
            break;
        default:  // Kind::Set
            frame.items = &static_cast<const VxSet*>(container)->allObjects();
            break;
    }
    const std::size_t count = frame.items->size();
    frame.outItems.reserve(count);
    if (frame.keys) frame.outKeys.reserve(count);
    return frame;
}

Id finish(Frame& frame, bool mutableResult) {
    if (frame.keys) {
        if (mutableResult) {
            auto dict = VxMutableDictionary::dictionaryWithCapacity(frame.outItems.size());
            for (std::size_t i = 0; i < frame.outItems.size(); ++i) {
                dict->setObject(frame.outItems[i], frame.outKeys[i]);
            }
            return dict;
        }
        std::vector<std::pair<Id, Id>> pairs;
        pairs.reserve(frame.outItems.size());
        for (std::size_t i = 0; i < frame.outItems.size(); ++i) {
            pairs.emplace_back(std::move(frame.outKeys[i]), std::move(frame.outItems[i]));
        }
        return VxDictionary::dictionaryWithPairs(std::move(pairs));
    }
    if (mutableResult) return std::make_shared<VxMutableArray>(std::move(frame.outItems));
    return VxArray::arrayWithObjects(std::move(frame.outItems));
}

// Rebuilds the container `top` (an array or a dictionary for RemoveNulls; also
// a set or an ordered set for Clean) by the rules of the pass.
Id rebuild(Pass pass, const VxObject* top, Kind topKind, bool mutableResult) {
    std::vector<Frame> stack;
    std::unordered_set<const VxObject*> onPath;
    stack.push_back(frameFor(top, topKind));
    onPath.insert(top);

    while (true) {
        Frame& frame = stack.back();
        if (frame.next == frame.items->size()) {
            Id built = finish(frame, mutableResult);
            onPath.erase(frame.source);
            stack.pop_back();
            if (stack.empty()) return built;
            Frame& parent = stack.back();
            parent.outItems.push_back(std::move(built));
            if (parent.keys) parent.outKeys.push_back((*parent.keys)[parent.next]);
            ++parent.next;
            continue;
        }

        const Id& member = (*frame.items)[frame.next];
        const bool inDictionary = frame.keys != nullptr;
        const Kind kind = kindOf(member.get());

        // Decide: keep a value, drop the member, or descend into a container.
        Id keep;
        bool descend = false;
        if (pass == Pass::Clean) {
            if (isScalar(kind)) {
                keep = member;
            } else if (kind == Kind::Array || kind == Kind::OrderedSet || kind == Kind::Set ||
                       kind == Kind::Dictionary) {
                descend = true;
            } else if (const auto* adopter = dynamic_cast<const CPJSONObject*>(member.get())) {
                keep = adopter->jsonConformingObject();
                if (!keep) keep = vx::null();
            }
            // Anything else (dates, bytes, URLs, other objects) is dropped.
        } else {
            if (inDictionary && kind == Kind::Null) {
                // dropped
            } else if (kind == Kind::Array || kind == Kind::Dictionary) {
                descend = true;
            } else {
                keep = member;
            }
        }

        if (descend && onPath.count(member.get())) {
            // A container that contains itself: dropped when cleaning, left as it
            // is when only null markers are being removed.
            descend = false;
            if (pass == Pass::RemoveNulls) keep = member;
        }

        if (descend) {
            onPath.insert(member.get());
            stack.push_back(frameFor(member.get(), kind));  // invalidates `frame`
            continue;
        }
        if (keep) {
            frame.outItems.push_back(std::move(keep));
            if (inDictionary) frame.outKeys.push_back((*frame.keys)[frame.next]);
        }
        ++frame.next;
    }
}

// ---------------------------------------------------------------------------
// Validity.

bool validScalar(const VxObject* value, Kind kind) {
    switch (kind) {
        case Kind::String:
        case Kind::Null:
            return true;
        case Kind::Decimal:
            return !static_cast<const VxDecimalNumber*>(value)->isNaN();
        case Kind::Number: {
            const auto* number = static_cast<const VxNumber*>(value);
            return !number->isFloatingPoint() || std::isfinite(number->doubleValue());
        }
        default:
            return false;
    }
}

bool valid(const VxObject* value, std::uint64_t depth, bool singleObject) {
    if (depth > CJSONUtilities::kMaxJSONDepth) return false;
    const Kind kind = kindOf(value);
    if (kind == Kind::Dictionary) {
        const auto* dict = static_cast<const VxDictionary*>(value);
        const std::vector<Id>& keys = dict->keys();
        const std::vector<Id>& values = dict->values();
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (kindOf(keys[i].get()) != Kind::String) return false;
            if (!valid(values[i].get(), depth + 1, true)) return false;
        }
        return true;
    }
    if (kind == Kind::Array) {
        for (const Id& element : static_cast<const VxArray*>(value)->items()) {
            if (!valid(element.get(), depth + 1, true)) return false;
        }
        return true;
    }
    return singleObject && validScalar(value, kind);
}

}  // namespace

bool CJSONUtilities::isTopLevelJSONObject(const Id& value) {
    const Kind kind = kindOf(value.get());
    return kind == Kind::Array || kind == Kind::Dictionary;
}

bool CJSONUtilities::isNonCollectionJSONObject(const Id& value) {
    return isScalar(kindOf(value.get()));
}

Id CJSONUtilities::conformingJSONObjectFromObject(const Id& value, std::uint64_t withOptions) {
    const Kind kind = kindOf(value.get());
    if (kind == Kind::Array) {
        return arrayByRemovingNonJSONObjects(std::static_pointer_cast<VxArray>(value), withOptions);
    }
    if (kind == Kind::Dictionary) {
        return dictionaryByRemovingNonJSONObjects(std::dynamic_pointer_cast<VxDictionary>(value),
                                                  withOptions);
    }
    if (isScalar(kind)) return value;
    return vx::null();
}

VxArrayPtr CJSONUtilities::arrayByRemovingNonJSONObjects(const VxArrayPtr& array,
                                                         std::uint64_t withOptions) {
    const bool mutableResult = (withOptions & CJSONUtilitiesOptionMutableContainers) != 0;
    if (!array) {
        if (mutableResult) return VxMutableArray::array();
        return VxArray::array();
    }
    return std::static_pointer_cast<VxArray>(
        rebuild(Pass::Clean, array.get(), Kind::Array, mutableResult));
}

VxDictionaryPtr CJSONUtilities::dictionaryByRemovingNonJSONObjects(
    const VxDictionaryPtr& dictionary, std::uint64_t withOptions) {
    const bool mutableResult = (withOptions & CJSONUtilitiesOptionMutableContainers) != 0;
    if (!dictionary) {
        if (mutableResult) return VxMutableDictionary::dictionary();
        return VxDictionary::dictionary();
    }
    return std::static_pointer_cast<VxDictionary>(
        rebuild(Pass::Clean, dictionary.get(), Kind::Dictionary, mutableResult));
}

Id CJSONUtilities::removeVxNullsFromJSONObject(const Id& value, std::uint64_t withOptions) {
    const Kind kind = kindOf(value.get());
    if (kind != Kind::Array && kind != Kind::Dictionary) return value;
    const bool mutableResult = (withOptions & CJSONUtilitiesOptionMutableContainers) != 0;
    return rebuild(Pass::RemoveNulls, value.get(), kind, mutableResult);
}

bool CJSONUtilities::isValidJSONObject(const Id& value) {
    if (!value) return false;
    return valid(value.get(), 0, false);
}

bool CJSONUtilities::validForJSON(const Id& value, std::uint64_t depth, bool singleObject) {
    return valid(value.get(), depth, singleObject);
}
