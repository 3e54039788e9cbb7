#include "http_message.h"

#include <algorithm>

namespace zavctl {

namespace {

char lower_char(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

bool same_text(const std::string &a, const char *b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (lower_char(a[i]) != lower_char(b[i])) return false;
    }
    return i == a.size() && b[i] == '\0';
}

std::string lower_ascii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), lower_char);
    return text;
}

const std::string *HttpRequest::header(const char *name) const {
    for (const auto &h : headers) {
        if (same_text(h.first, name)) return &h.second;
    }
    return nullptr;
}

std::size_t HttpRequest::count(const char *name) const {
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(), [name](const auto &h) { return same_text(h.first, name); }));
}

void HttpAnswer::set(const std::string &name, const std::string &value) {
    headers.erase(std::remove_if(headers.begin(), headers.end(),
                                 [&name](const auto &h) { return same_text(h.first, name.c_str()); }),
                  headers.end());
    headers.emplace_back(name, value);
}

const std::string *HttpAnswer::header(const char *name) const {
    for (const auto &h : headers) {
        if (same_text(h.first, name)) return &h.second;
    }
    return nullptr;
}

} // namespace zavctl
