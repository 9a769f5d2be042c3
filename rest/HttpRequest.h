#pragma once
// One HTTP/1.1 request as the clients send it. Plain value type: the clients turn it into
// their wire form, so no network headers reach the code that builds requests.

#include "rest/HttpUtils.h"

#include <optional>
#include <string>
#include <string_view>

class HttpRequest {
  public:
    /// Numbering fixed by callers; values outside 1..8 (0 included) select GET.
    enum class Method : int {
        GET = 0,
        HEAD = 1,
        POST = 2,
        PUT = 3,
        DELETE = 4,
        CONNECT = 5,
        OPTIONS = 6,
        TRACE = 7,
        PATCH = 8,
    };

    static constexpr int HTTP_1_1 = 11;

    HttpRequest() = default;

    void setMethod(Method method);
    /// Empty until setMethod is called.
    std::optional<Method> getMethod() const { return method_; }
    /// "GET", "POST", ...; empty until setMethod is called.
    std::string_view getMethodText() const;

    /// 10 * major + minor: 11 for HTTP/1.1, 10 for HTTP/1.0. Throws std::invalid_argument
    /// for any other value: the clients speak only HTTP/1.x.
    void setVersion(int version);
    int getVersion() const { return version_; }

    /// Throws std::invalid_argument for a target with spaces or control characters, which
    /// would split the request line.
    void setURL(const std::string& target);
    const std::string& getURL() const { return target_; }

    /// Replaces every field of that name (letter case ignored) with one field at the end.
    /// Throws std::invalid_argument for a name that is not an HTTP token or a value with
    /// CR, LF or NUL, so that no caller can inject extra fields.
    void setHeader(const std::string& name, const std::string& value);
    /// Removes every field of that name (letter case ignored).
    void unsetHeader(const std::string& name);
    /// Value of the first field of that name (letter case ignored).
    std::optional<std::string> getHeader(const std::string& name) const;
    const HttpFields& getFields() const { return fields_; }

    void setBody(std::string body) { body_ = std::move(body); }
    const std::string& getBody() const { return body_; }

  private:
    std::optional<Method> method_;
    int version_ = HTTP_1_1;
    std::string target_;
    HttpFields fields_;
    std::string body_;
};
