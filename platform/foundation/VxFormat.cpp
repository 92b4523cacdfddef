#include "platform/foundation/VxFormat.h"

#include <cstdio>
#include <cstring>

namespace vx {

namespace {

// Formats one C conversion with snprintf, growing the buffer when needed.
template <class T>
void appendPrintf(std::string& out, const std::string& spec, T value) {
    char buf[128];
    int n = std::snprintf(buf, sizeof buf, spec.c_str(), value);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof buf) {
        out.append(buf, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), spec.c_str(), value);
    big.resize(static_cast<std::size_t>(n));
    out += big;
}

bool isIntegerConversion(char c) {
    return std::strchr("diuxXoc", c) != nullptr;
}
bool isFloatConversion(char c) {
    return std::strchr("fFeEgGaA", c) != nullptr;
}

}  // namespace

std::string formatv(std::string_view fmt, const std::vector<FormatArg>& args) {
    std::string out;
    out.reserve(fmt.size() + 16 * args.size());
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < fmt.size()) {
        char ch = fmt[i];
        if (ch != '%') {
            out.push_back(ch);
            ++i;
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            out.push_back('%');
            i += 2;
            continue;
        }
        // Collect flags, width, precision and length; the conversion ends it.
        std::size_t start = i++;
        while (i < fmt.size() && std::strchr("-+ #0", fmt[i])) ++i;
        while (i < fmt.size() && (std::isdigit(static_cast<unsigned char>(fmt[i])))) ++i;
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) ++i;
        }
        std::size_t lengthStart = i;
        while (i < fmt.size() && std::strchr("hlzjtLq", fmt[i])) ++i;
        if (i >= fmt.size()) {
            out.append(fmt.substr(start));
            break;
        }
        char conv = fmt[i++];
        // The printf spec without length modifiers; we pass values at full width.
        std::string base(fmt.substr(start, lengthStart - start));
        const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
        ++next;
        if (!arg) {
            out += "(?)";
            continue;
        }
        const auto& v = arg->v;
        if (conv == '@') {
            if (auto* s = std::get_if<std::string>(&v))
                out += *s;
            else if (auto* o = std::get_if<Id>(&v))
                out += vxDescription(*o);
            else if (auto* si = std::get_if<std::int64_t>(&v))
                out += std::to_string(*si);
            else if (auto* ui = std::get_if<std::uint64_t>(&v))
                out += std::to_string(*ui);
            else if (auto* d = std::get_if<double>(&v))
                appendPrintf(out, "%g", *d);
            else
                out += "(?)";
        } else if (isIntegerConversion(conv)) {
            std::string spec = base + "ll" + conv;
            if (conv == 'c') spec = base + "c";
            if (auto* si = std::get_if<std::int64_t>(&v)) {
                if (conv == 'c')
                    appendPrintf(out, spec, static_cast<int>(*si));
                else if (conv == 'd' || conv == 'i')
                    appendPrintf(out, spec, static_cast<long long>(*si));
                else
                    appendPrintf(out, spec, static_cast<unsigned long long>(*si));
            } else if (auto* ui = std::get_if<std::uint64_t>(&v)) {
                if (conv == 'c')
                    appendPrintf(out, spec, static_cast<int>(*ui));
                else if (conv == 'd' || conv == 'i')
                    appendPrintf(out, spec, static_cast<long long>(*ui));
                else
                    appendPrintf(out, spec, static_cast<unsigned long long>(*ui));
            } else {
                out += "(?)";
            }
        } else if (isFloatConversion(conv)) {
            std::string spec = base + conv;
            if (auto* d = std::get_if<double>(&v))
                appendPrintf(out, spec, *d);
            else if (auto* si = std::get_if<std::int64_t>(&v))
                appendPrintf(out, spec, static_cast<double>(*si));
            else if (auto* ui = std::get_if<std::uint64_t>(&v))
                appendPrintf(out, spec, static_cast<double>(*ui));
            else
                out += "(?)";
        } else if (conv == 's') {
            if (auto* s = std::get_if<std::string>(&v))
                appendPrintf(out, base + "s", s->c_str());
            else if (auto* o = std::get_if<Id>(&v))
                appendPrintf(out, base + "s", vxDescription(*o).c_str());
            else
                out += "(?)";
        } else if (conv == 'p') {
            if (auto* p = std::get_if<const void*>(&v))
                appendPrintf(out, base + "p", *p);
            else if (auto* o = std::get_if<Id>(&v))
                appendPrintf(out, base + "p", static_cast<const void*>(o->get()));
            else
                out += "(?)";
        } else {
            out += "(?)";
        }
    }
    return out;
}

}  // namespace vx
