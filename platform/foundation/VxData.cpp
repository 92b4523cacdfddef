#include "platform/foundation/VxData.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

VX_DEFINE_CLASS(VxData, VxObject, vxMakeInstance<VxData>);
VX_DEFINE_CLASS(VxMutableData, VxData, vxMakeInstance<VxMutableData>);

VxDataPtr VxData::data() {
    return std::make_shared<VxData>();
}

VxDataPtr VxData::dataWithBytes(const void* bytes, std::size_t length) {
    auto p = static_cast<const std::uint8_t*>(bytes);
    return std::make_shared<VxData>(length ? std::vector<std::uint8_t>(p, p + length)
                                           : std::vector<std::uint8_t>());
}

VxDataPtr VxData::dataWithString(std::string_view text) {
    return dataWithBytes(text.data(), text.size());
}

VxDataPtr VxData::dataWithVector(std::vector<std::uint8_t> bytes) {
    return std::make_shared<VxData>(std::move(bytes));
}

VxDataPtr VxData::dataWithContentsOfFile(const std::string& path, std::string* errorText,
                                         std::size_t limit) {
    VxFileReadResult file = VxReadWholeFile(path, {.limit = limit});
    if (!file) {
        if (errorText) *errorText = path + " " + file.problem;
        return nullptr;
    }
    return dataWithString(file.bytes);
}

bool VxData::writeToFile(const std::string& path, bool atomically) const {
    std::string target = atomically ? path + ".tmp." + std::to_string(::getpid()) : path;
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes_.size()) {
        ssize_t n = ::write(fd, bytes_.data() + done, bytes_.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            if (atomically) ::unlink(target.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    bool ok = !atomically || ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (atomically) {
        if (!ok || ::rename(target.c_str(), path.c_str()) != 0) {
            ::unlink(target.c_str());
            return false;
        }
    }
    return ok;
}

bool VxData::isEqual(const VxObject& other) const {
    auto* d = dynamic_cast<const VxData*>(&other);
    return d && d->bytes_ == bytes_;
}

std::size_t VxData::hash() const {
    return std::hash<std::string_view>()(view().substr(0, 80)) ^ bytes_.size();
}

std::string VxData::description() const {
    static const char* hex = "0123456789abcdef";
    auto appendHex = [&](std::string& out, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            out.push_back(hex[bytes_[i] >> 4]);
            out.push_back(hex[bytes_[i] & 0xF]);
        }
    };
    std::string out = "{length = " + std::to_string(bytes_.size()) + ", bytes = 0x";
    if (bytes_.size() <= 24) {
        appendHex(out, 0, bytes_.size());
    } else {
        appendHex(out, 0, 8);
        out += " ... ";
        appendHex(out, bytes_.size() - 4, bytes_.size());
    }
    return out + "}";
}

Id VxData::copyWithZone(void*) const {
    if (isMemberOfClass(VxData::classObject())) return self();
    return std::make_shared<VxData>(bytes_);
}

Id VxData::mutableCopyWithZone(void*) const {
    return std::make_shared<VxMutableData>(bytes_);
}

VxMutableDataPtr VxMutableData::dataWithCapacity(std::size_t capacity) {
    auto d = std::make_shared<VxMutableData>();
    d->bytes_.reserve(capacity);
    return d;
}

void VxMutableData::appendBytes(const void* bytes, std::size_t length) {
    auto p = static_cast<const std::uint8_t*>(bytes);
    if (length) bytes_.insert(bytes_.end(), p, p + length);
}
