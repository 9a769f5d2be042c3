#include "rest/HttpRequest.h"

#include "rest/HttpUtils.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace {

constexpr int HTTP_1_0 = 10;

// Indexed by the Method value.
constexpr std::array<std::string_view, 9> METHOD_TEXT = {
    "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH",
};

void remove_fields(HttpFields& fields, const std::string& name) {
    std::erase_if(fields, [&name](const auto& field) {
        return HttpUtils::fieldNameEquals(field.first, name);
    });
}

bool is_valid_target(const std::string& target) {
    return std::none_of(target.begin(), target.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= ' ' || byte == 0x7F;
    });
}

}  // namespace

void HttpRequest::setMethod(Method method) {
    const int value = static_cast<int>(method);
    const bool known = value > 0 && value < static_cast<int>(METHOD_TEXT.size());
    method_ = known ? method : Method::GET;
}

std::string_view HttpRequest::getMethodText() const {
    if (!method_) {
        return {};
    }
    return METHOD_TEXT[static_cast<std::size_t>(*method_)];
}

void HttpRequest::setVersion(int version) {
    if (version != HTTP_1_0 && version != HTTP_1_1) {
        throw std::invalid_argument("invalid HTTP version");
    }
    version_ = version;
}

void HttpRequest::setURL(const std::string& target) {
    if (!is_valid_target(target)) {
        throw std::invalid_argument("invalid request target");
    }
    target_ = target;
}

void HttpRequest::setHeader(const std::string& name, const std::string& value) {
    if (!HttpUtils::isValidFieldName(name)) {
        throw std::invalid_argument("invalid header name");
    }
    if (!HttpUtils::isValidFieldValue(value)) {
        throw std::invalid_argument("invalid header value");
    }
    remove_fields(fields_, name);
    fields_.emplace_back(name, value);
}

void HttpRequest::unsetHeader(const std::string& name) {
    remove_fields(fields_, name);
}

std::optional<std::string> HttpRequest::getHeader(const std::string& name) const {
    return HttpUtils::firstField(fields_, name);
}
