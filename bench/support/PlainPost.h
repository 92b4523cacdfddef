#pragma once
// A libcurl handle posting a fixed body with the service's headers: the HTTP
// floor of the benchmarks. Kept for many posts it reuses its connection. Needs
// libcurl only, so that the minimal services of the cold-start floor can use it.

#include <curl/curl.h>

#include <string>

namespace bench {

class PlainPost {
  public:
    PlainPost(const std::string& url, const std::string& body) : body_(body) {
        curl_ = curl_easy_init();
        headers_ = curl_slist_append(headers_, "Content-Type: application/json; charset=utf-8");
        headers_ = curl_slist_append(headers_, "Accept: application/json");
        headers_ = curl_slist_append(headers_, "Accept-Language: en");
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body_.c_str());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body_.size()));
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &PlainPost::discard);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, 30000L);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    }
    ~PlainPost() {
        curl_slist_free_all(headers_);
        curl_easy_cleanup(curl_);
    }
    PlainPost(const PlainPost&) = delete;
    PlainPost& operator=(const PlainPost&) = delete;

    // True on status 200.
    bool post() {
        long status = 0;
        if (!curl_ || curl_easy_perform(curl_) != CURLE_OK) return false;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        return status == 200;
    }

  private:
    static size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

    std::string body_;
    CURL* curl_ = nullptr;
    curl_slist* headers_ = nullptr;
};

}  // namespace bench
