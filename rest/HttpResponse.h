#pragma once
// One HTTP response as the clients received it. Plain value type: the clients fill it from
// their wire form, so no network headers reach the code that reads replies.

#include "rest/HttpUtils.h"

#include <optional>
#include <string>

class HttpResponse {
  public:
    static constexpr int HTTP_1_1 = 11;
    static constexpr int DEFAULT_STATUS = 200;

    HttpResponse() = default;

    int getVersion() const { return version_; }
    void setVersion(int version) { version_ = version; }

    int getStatus() const { return status_; }
    /// 0 to 999; any other value throws std::invalid_argument("invalid status-code").
    void setStatus(int status);

    /// The reason received, or the standard phrase of the status when none was received.
    std::string getReason() const;
    void setReason(std::string reason) { reason_ = std::move(reason); }

    /// Value of the first field of that name (letter case ignored).
    std::optional<std::string> getHeader(const std::string& name) const;
    /// Appends a field as received; repeated names are kept, in order. Throws
    /// std::invalid_argument for a name that is not a token or a value with CR, LF or NUL.
    void addHeader(const std::string& name, const std::string& value);
    const HttpFields& getFields() const { return fields_; }

    const std::string& getBody() const { return body_; }
    void setBody(std::string body) { body_ = std::move(body); }

  private:
    int version_ = HTTP_1_1;
    int status_ = DEFAULT_STATUS;
    std::string reason_;
    HttpFields fields_;
    std::string body_;
};
