// Content sniffing: the answer is the one of a plain signature table over the
// first 11 bytes (missing bytes counting as 0); bytes after offset 10 never
// change it.

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "mime/NUCMimeTypes.h"

namespace {

struct Signature {
    std::vector<int> bytes;  // -1: position not examined
    const char* type;
};

const std::vector<Signature>& signatures() {
    static const std::vector<Signature> table = {
        {{0xCA, 0xFE, 0xBA, 0xBE}, "application/java-vm"},
        {{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}, "application/msword"},
        {{'%', 'P', 'D', 'F', '-', '1', '.'}, "application/pdf"},
        {{'8', 'B', 'P', 'S', 0x00, 0x01}, "image/photoshop"},
        {{'%', '!', 'P', 'S'}, "application/postscript"},
        {{0xFF, 0xFB, 0x30}, "audio/mp3"},
        {{'I', 'D', '3'}, "audio/mp3"},
        {{'B', 'M'}, "image/bmp"},
        {{0xAC, 0xED}, "application/x-java-serialized-object"},
        {{'I', 'I', '*', 0x00}, "image/tiff"},
        {{'M', 'M', 0x00, '*'}, "image/tiff"},
        {{'G', 'I', 'F', '8'}, "image/gif"},
        {{'#', 'd', 'e', 'f'}, "image/x-bitmap"},
        {{'!', ' ', 'X', 'P', 'M', '2'}, "image/x-pixmap"},
        {{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, "image/png"},
        {{'.', 's', 'n', 'd'}, "audio/basic"},
        {{'d', 'n', 's', '.'}, "audio/basic"},
        {{'R', 'I', 'F', 'F'}, "audio/x-wav"},
        {{'P', 'K'}, "application/zip"},
        {{'A', 'C', -1, -1, -1, -1, 0, 0, 0, 0, 0}, "application/acad"},
        {{'<', '!'}, "text/html"},
        {{'<', 'h', 't', 'm', 'l'}, "text/html"},
        {{'<', 'h', 'e', 'a', 'd'}, "text/html"},
        {{'<', 'b', 'o', 'd', 'y'}, "text/html"},
        {{'<', 'H', 'T', 'M', 'L'}, "text/html"},
        {{'<', 'H', 'E', 'A', 'D'}, "text/html"},
        {{'<', 'B', 'O', 'D', 'Y'}, "text/html"},
        {{'<', '?', 'x', 'm', 'l', ' '}, "application/xml"},
        {{0xFE, 0xFF, 0x00, '<', 0x00, '?', 0x00, 'x'}, "application/xml"},
        {{0xFF, 0xFE, '<', 0x00, '?', 0x00, 'x', 0x00}, "application/xml"},
        {{0xFF, 0xD8, 0xFF, 0xE0}, "image/jpeg"},
        {{0xFF, 0xD8, 0xFF, 0xEE}, "image/jpg"},
        {{0xFF, 0xD8, 0xFF, 0xE1, -1, -1, 'E', 'x', 'i', 'f', 0x00}, "image/jpeg"},
    };
    return table;
}

std::string expectedType(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return "<nothing>";
    std::uint8_t head[11] = {};
    std::memcpy(head, data, size < 11 ? size : 11);
    std::string found = "<nothing>";
    int matches = 0;
    for (const auto& signature : signatures()) {
        bool match = true;
        for (std::size_t i = 0; i < signature.bytes.size() && match; ++i)
            match = signature.bytes[i] < 0 || head[i] == signature.bytes[i];
        if (match) {
            found = signature.type;
            ++matches;
        }
    }
    FUZZ_CHECK(matches <= 1);  // no two signatures share an input
    return found;
}

std::string sniff(const std::uint8_t* data, std::size_t size) {
    VxStringPtr type = NUCMimeTypes::guessMimeTypeFromData(VxData::dataWithBytes(data, size));
    return type ? type->str() : "<nothing>";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FUZZ_CHECK(!NUCMimeTypes::guessMimeTypeFromData(nullptr));
    std::string type = sniff(data, size);
    FUZZ_CHECK(type == expectedType(data, size));
    if (size > 0 && size < 11) {  // padding with zeros up to 11 bytes changes nothing
        std::uint8_t padded[11] = {};
        std::memcpy(padded, data, size);
        FUZZ_CHECK(sniff(padded, sizeof padded) == type);
    }
    return 0;
}
