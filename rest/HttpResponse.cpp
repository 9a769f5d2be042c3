#include "rest/HttpResponse.h"

// Boost 1.74's string_view needs <ostream> complete before Beast pulls it in.
#include <ostream>

#include <boost/beast/http/status.hpp>

#include <stdexcept>

namespace {

constexpr int MAX_STATUS = 999;

}  // namespace

void HttpResponse::setStatus(int status) {
    // Three digits is all a status line can carry.
    if (status < 0 || status > MAX_STATUS) {
        throw std::invalid_argument("invalid status-code");
    }
    status_ = status;
}

std::string HttpResponse::getReason() const {
    if (!reason_.empty()) {
        return reason_;
    }
    namespace http = boost::beast::http;
    return std::string(http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status_))));
}

std::optional<std::string> HttpResponse::getHeader(const std::string& name) const {
    return HttpUtils::firstField(fields_, name);
}

void HttpResponse::addHeader(const std::string& name, const std::string& value) {
    if (!HttpUtils::isValidFieldName(name) || !HttpUtils::isValidFieldValue(value)) {
        throw std::invalid_argument("invalid header field");
    }
    fields_.emplace_back(name, value);
}
