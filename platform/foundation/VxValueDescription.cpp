#include "platform/foundation/VxValuesPrivate.h"

#include <cctype>
#include <string>
#include <vector>

#include "platform/foundation/VxArray.h"
#include "platform/foundation/VxDictionary.h"
#include "platform/foundation/VxSet.h"
#include "platform/foundation/VxString.h"

// Property-list style descriptions shared by the containers.
namespace {

using vx::detail::describe;

bool needsQuotes(const std::string& s) {
    if (s.empty()) return true;
    for (unsigned char c : s) {
        if (!(std::isalnum(c) || c == '_' || c == '.' || c == '$')) return true;
    }
    return false;
}

std::string quoted(const std::string& s) {
    if (!needsQuotes(s)) return s;
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out.push_back(c);
        }
    }
    return out + "\"";
}

void indentTo(std::string& out, int indent) {
    out.append(static_cast<std::size_t>(indent) * 4, ' ');
}

void describeArrayItems(const std::vector<Id>& items, int indent, std::string& out) {
    out += "(\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        indentTo(out, indent + 1);
        describe(items[i], indent + 1, out);
        if (i + 1 < items.size()) out += ",";
        out += "\n";
    }
    indentTo(out, indent);
    out += ")";
}

}  // namespace

namespace vx::detail {

void describe(const Id& obj, int indent, std::string& out) {
    if (!obj) {
        out += "(null)";
    } else if (auto s = dynamic_cast<const VxString*>(obj.get())) {
        out += quoted(s->str());
    } else if (auto d = dynamic_cast<const VxDictionary*>(obj.get())) {
        out += "{\n";
        d->enumerateKeysAndObjects([&](const Id& k, const Id& v) {
            indentTo(out, indent + 1);
            describe(k, indent + 1, out);
            out += " = ";
            describe(v, indent + 1, out);
            out += ";\n";
        });
        indentTo(out, indent);
        out += "}";
    } else if (auto a = dynamic_cast<const VxArray*>(obj.get())) {
        describeArrayItems(a->items(), indent, out);
    } else if (auto st = dynamic_cast<const VxSet*>(obj.get())) {
        out += "{";
        describeArrayItems(st->allObjects(), indent, out);
        out += "}";
    } else if (auto os = dynamic_cast<const VxOrderedSet*>(obj.get())) {
        out += "{";
        describeArrayItems(os->array(), indent, out);
        out += "}";
    } else {
        std::string text = obj->description();
        // Multi-line descriptions of other objects are indented with the container.
        std::string pad(static_cast<std::size_t>(indent) * 4, ' ');
        for (char c : text) {
            out.push_back(c);
            if (c == '\n') out += pad;
        }
    }
}

void describeInline(const Id& obj, std::string& out) {
    if (!obj) {
        out += "(null)";
    } else if (auto s = dynamic_cast<const VxString*>(obj.get())) {
        out += quoted(s->str());
    } else if (auto d = dynamic_cast<const VxDictionary*>(obj.get())) {
        out += "{";
        bool first = true;
        d->enumerateKeysAndObjects([&](const Id& k, const Id& v) {
            if (!first) out += "; ";
            first = false;
            describeInline(k, out);
            out += " = ";
            describeInline(v, out);
        });
        out += "}";
    } else if (auto a = dynamic_cast<const VxArray*>(obj.get())) {
        out += "(";
        for (std::size_t i = 0; i < a->count(); ++i) {
            if (i) out += ", ";
            describeInline(a->objectAtIndex(i), out);
        }
        out += ")";
    } else {
        std::string text = obj->descriptionInline();
        for (char c : text) out.push_back(c == '\n' ? ' ' : c);
    }
}

}  // namespace vx::detail
