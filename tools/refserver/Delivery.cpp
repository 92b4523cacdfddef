#include "Delivery.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

namespace refserver {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kPieceSize = 64 * 1024;

// Sleeps until `until` in short slices; false when the server is stopping.
bool sleepUntil(Clock::time_point until, const std::atomic<bool>& stopping) {
    while (!stopping && Clock::now() < until)
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(20)));
    return !stopping;
}

// The reply body: the given text, then spaces up to `size` bytes.
struct PaddedBody {
    std::string text;
    std::size_t size = 0;

    // Writes the bytes from `offset` on, at most `length` of them, in pieces.
    bool write(std::size_t offset, std::size_t length, httplib::DataSink& sink) const {
        const std::size_t end = std::min(size, offset + length);
        static const std::string spaces(kPieceSize, ' ');
        while (offset < end) {
            std::size_t n;
            if (offset < text.size()) {
                n = std::min(end, text.size()) - offset;
                if (!sink.write(text.data() + offset, n)) return false;
            } else {
                n = std::min(end - offset, kPieceSize);
                if (!sink.write(spaces.data(), n)) return false;
            }
            offset += n;
        }
        return true;
    }
    char at(std::size_t offset) const { return offset < text.size() ? text[offset] : ' '; }
};

}  // namespace

ReadPacer::ReadPacer(std::optional<long long> bytesPerSecond, const std::atomic<bool>& stopping)
    : bytesPerSecond_(bytesPerSecond), stopping_(stopping), start_(Clock::now()) {}

bool ReadPacer::take(std::size_t n) {
    received_ += static_cast<long long>(n);
    if (!bytesPerSecond_) return true;
    const auto due = start_ + std::chrono::microseconds(received_ * 1000000 / *bytesPerSecond_);
    return sleepUntil(due, stopping_);
}

bool readRequestBody(const httplib::Request& req, const httplib::ContentReader& reader,
                     std::optional<long long> bytesPerSecond, const std::atomic<bool>& stopping,
                     std::string& body, httplib::MultipartFormDataMap& files) {
    // Each piece is taken only when the rate allows it, so the client's sending
    // is held back by the connection's buffers.
    ReadPacer pacer(bytesPerSecond, stopping);
    auto pace = [&](std::size_t n) { return pacer.take(n); };
    if (req.is_multipart_form_data()) {
        httplib::MultipartFormDataMap::iterator current;
        return reader(
            [&](const httplib::MultipartFormData& file) {
                current = files.emplace(file.name, file);
                return true;
            },
            [&](const char* data, std::size_t n) {
                current->second.content.append(data, n);
                return pace(n);
            });
    }
    return reader([&](const char* data, std::size_t n) {
        body.append(data, n);
        return pace(n);
    });
}

void setReplyBody(httplib::Response& res, std::string body, const std::string& contentType,
                  const Knobs& knobs, const std::atomic<bool>& stopping) {
    if (!knobs.replyBytes && !knobs.chunked && !knobs.trickleMs) {
        res.set_content(body, contentType);
        return;
    }
    auto padded = std::make_shared<PaddedBody>();
    padded->size = std::max<std::size_t>(body.size(), knobs.replyBytes.value_or(0));
    padded->text = std::move(body);
    const int trickleMs = knobs.trickleMs.value_or(0);
    const std::atomic<bool>* stop = &stopping;

    // Writes from `offset`: everything at once, or one byte after a pause.
    auto writeFrom = [padded, trickleMs, stop](std::size_t offset, std::size_t length,
                                               httplib::DataSink& sink) {
        if (trickleMs == 0) return padded->write(offset, length, sink);
        if (!sleepUntil(Clock::now() + std::chrono::milliseconds(trickleMs), *stop)) return false;
        const char c = padded->at(offset);
        return sink.write(&c, 1);
    };
    if (knobs.chunked.value_or(false)) {
        res.set_chunked_content_provider(
            contentType, [padded, writeFrom](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= padded->size) {
                    sink.done();
                    return true;
                }
                return writeFrom(offset, padded->size - offset, sink);
            });
    } else {
        res.set_content_provider(
            padded->size, contentType,
            [writeFrom](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                return writeFrom(offset, length, sink);
            });
    }
}

}  // namespace refserver
