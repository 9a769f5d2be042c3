#include "rest/HttpRequest.h"
#include "rest/HttpResponse.h"
#include "rest/HttpUtils.h"
#include "rest/proxy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

// ---- parseURI ----

struct UriCase {
    std::string uri;
    std::string host;
    std::uint16_t port;
    std::string path;
};

class ParseUriTest : public ::testing::TestWithParam<UriCase> {};

TEST_P(ParseUriTest, SplitsHostPortAndPath) {
    const UriCase& c = GetParam();
    std::string host;
    std::uint16_t port = 1;
    std::string path = "unchanged";
    ASSERT_TRUE(HttpUtils::parseURI(c.uri, host, port, path)) << c.uri;
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(path, c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Uris, ParseUriTest,
    ::testing::Values(UriCase{"https://h:8443/oauth/token?x=1", "h", 8443, "/oauth/token"},
                      UriCase{"https://h/oauth/token?x=1", "h", 0, "/oauth/token"},
                      UriCase{"http://example.com", "example.com", 0, ""},
                      UriCase{"http://10.1.2.3:80/a/b", "10.1.2.3", 80, "/a/b"},
                      UriCase{"https://h:443/p#frag", "h", 443, "/p"},
                      UriCase{"https://h/p?q=1&r=2#frag", "h", 0, "/p"},
                      UriCase{"https://h:/p", "h", 0, "/p"},
                      // Only the decimal prefix of the port text counts.
                      UriCase{"https://h:8443abc/p", "h", 8443, "/p"},
                      UriCase{"https://h:65535/", "h", 65535, "/"},
                      UriCase{"https://h:0000000000000443/x", "h", 443, "/x"}));

class ParseUriRejectTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ParseUriRejectTest, LeavesOutputsUnchanged) {
    std::string host = "host-before";
    std::uint16_t port = 77;
    std::string path = "path-before";
    EXPECT_FALSE(HttpUtils::parseURI(GetParam(), host, port, path)) << GetParam();
    EXPECT_EQ(host, "host-before");
    EXPECT_EQ(port, 77);
    EXPECT_EQ(path, "path-before");
}

INSTANTIATE_TEST_SUITE_P(Invalid, ParseUriRejectTest,
                         ::testing::Values("", "ftp://h/p", "HTTPS://h/p", "https//h/p", "https://",
                                           "https:///p", " https://h/p", "https://h/p q",
                                           "https://h /p",
                                           // Ports that do not fit 16 bits are not wrapped.
                                           "https://h:65536/p", "https://h:4294967739/p",
                                           "https://h:99999999999999999999999/p"));

// ---- proxy setting ----

struct ProxyCase {
    std::string text;
    ClientProxy expected;
};

class ParseProxyTest : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ParseProxyTest, SplitsHostAndService) {
    EXPECT_EQ(parseClientProxy(GetParam().text), GetParam().expected) << GetParam().text;
}

ClientProxy proxy(std::string host, std::string service) {
    return std::make_pair(std::move(host), std::move(service));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseProxyTest,
    ::testing::Values(ProxyCase{"", std::nullopt},
                      ProxyCase{"proxyhost:3128", proxy("proxyhost", "3128")},
                      ProxyCase{"proxyhost", proxy("proxyhost", "https")},
                      ProxyCase{"http://10.1.2.3:8080", proxy("10.1.2.3", "8080")},
                      ProxyCase{"http://proxyhost", proxy("proxyhost", "https")},
                      ProxyCase{"http://h", proxy("h", "https")},
                      // The scheme is not used: the proxy is always reached over plain TCP.
                      ProxyCase{"https://proxyhost:3128", proxy("proxyhost", "3128")},
                      ProxyCase{"socks5://proxyhost:1080", proxy("proxyhost", "1080")},
                      // A trailing path must not end up in the port.
                      ProxyCase{"http://proxyhost:3128/", proxy("proxyhost", "3128")},
                      ProxyCase{"http://proxyhost/", proxy("proxyhost", "https")},
                      // Without a scheme: host up to the first ':', port after the last.
                      ProxyCase{"a:b:3128", proxy("a", "3128")},
                      // Missing port: warned about, passed on empty for the resolver to refuse.
                      ProxyCase{"proxyhost:", proxy("proxyhost", "")},
                      ProxyCase{"http://proxyhost:", proxy("proxyhost", "")},
                      // Nothing after "://" is not the scheme form.
                      ProxyCase{"http://", proxy("http", "//")}));

// Restores an environment variable when the test ends.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(GetClientProxyTest, ReadsTheSettingOnEveryCall) {
    {
        ScopedEnv env("ClientProxy", "http://proxyhost:3128");
        EXPECT_EQ(getClientProxy(), proxy("proxyhost", "3128"));
    }
    {
        // "ClientProxy" wins over "HTTPS_PROXY", even when it is set but empty.
        ScopedEnv fallback("HTTPS_PROXY", "other:8080");
        ScopedEnv env("ClientProxy", "");
        EXPECT_EQ(getClientProxy(), std::nullopt);
    }
}

// ---- HttpRequest ----

TEST(HttpRequestTest, StartsEmptyAsHttp11) {
    const HttpRequest request;
    EXPECT_EQ(request.getVersion(), 11);
    EXPECT_EQ(request.getMethod(), std::nullopt);
    EXPECT_EQ(request.getMethodText(), "");
    EXPECT_EQ(request.getURL(), "");
    EXPECT_TRUE(request.getFields().empty());
    EXPECT_EQ(request.getBody(), "");
}

struct MethodCase {
    int value;
    HttpRequest::Method method;
    const char* text;
};

class HttpRequestMethodTest : public ::testing::TestWithParam<MethodCase> {};

TEST_P(HttpRequestMethodTest, MapsValueToMethod) {
    HttpRequest request;
    request.setMethod(static_cast<HttpRequest::Method>(GetParam().value));
    EXPECT_EQ(request.getMethod(), GetParam().method);
    EXPECT_EQ(request.getMethodText(), GetParam().text);
}

using M = HttpRequest::Method;
INSTANTIATE_TEST_SUITE_P(
    Values, HttpRequestMethodTest,
    ::testing::Values(MethodCase{0, M::GET, "GET"}, MethodCase{1, M::HEAD, "HEAD"},
                      MethodCase{2, M::POST, "POST"}, MethodCase{3, M::PUT, "PUT"},
                      MethodCase{4, M::DELETE, "DELETE"}, MethodCase{5, M::CONNECT, "CONNECT"},
                      MethodCase{6, M::OPTIONS, "OPTIONS"}, MethodCase{7, M::TRACE, "TRACE"},
                      MethodCase{8, M::PATCH, "PATCH"}, MethodCase{9, M::GET, "GET"},
                      MethodCase{-1, M::GET, "GET"}, MethodCase{1000, M::GET, "GET"}));

TEST(HttpRequestTest, SetHeaderReplacesAllOfANameAndMovesItToTheEnd) {
    HttpRequest request;
    request.setHeader("Host", "h:443");
    request.setHeader("X-Command", "first");
    request.setHeader("Accept", "*/*");
    request.setHeader("x-command", "second");
    EXPECT_THAT(request.getFields(), ElementsAre(Pair("Host", "h:443"), Pair("Accept", "*/*"),
                                                 Pair("x-command", "second")));
    EXPECT_EQ(request.getHeader("X-COMMAND"), "second");

    request.unsetHeader("HOST");
    EXPECT_THAT(request.getFields(),
                ElementsAre(Pair("Accept", "*/*"), Pair("x-command", "second")));
    EXPECT_EQ(request.getHeader("Host"), std::nullopt);
    request.unsetHeader("Absent");
    EXPECT_EQ(request.getFields().size(), 2u);
}

TEST(HttpRequestTest, CopiesAreIndependent) {
    HttpRequest original;
    original.setMethod(M::POST);
    original.setURL("/vHSM/1234");
    original.setHeader("A", "1");
    original.setBody(std::string("\0bin", 4));

    HttpRequest copy = original;
    copy.setHeader("A", "2");
    copy.setBody("other");
    copy.setURL("/x");
    EXPECT_EQ(original.getHeader("A"), "1");
    EXPECT_EQ(original.getBody(), std::string("\0bin", 4));
    EXPECT_EQ(original.getURL(), "/vHSM/1234");
    EXPECT_EQ(copy.getMethod(), M::POST);
}

// A caller-supplied value with a line break would otherwise add fields or a second request.
TEST(HttpRequestTest, RejectsTextThatWouldBreakTheMessage) {
    HttpRequest request;
    request.setHeader("Authorization", "Bearer t");
    request.setURL("/ok");
    const std::pair<const char*, const char*> bad_fields[] = {
        {"X-Token", "t\r\nX-Evil: 1"},
        {"X-Token", "t\n"},
        {"X-Token", "a\rb"},
        {"", "v"},
        {"Bad Name", "v"},
        {"Bad:Name", "v"},
        {"Na\nme", "v"},
    };
    for (const auto& [name, value] : bad_fields) {
        EXPECT_THROW(request.setHeader(name, value), std::invalid_argument) << name;
    }
    EXPECT_THROW(request.setHeader("X-Token", std::string("a\0b", 3)), std::invalid_argument);
    for (const char* target : {"/a b", "/a\r\nHost: x", "/\t", "/\x7f"}) {
        EXPECT_THROW(request.setURL(target), std::invalid_argument);
    }
    EXPECT_THROW(request.setVersion(20), std::invalid_argument);
    EXPECT_THROW(request.setVersion(0), std::invalid_argument);
    // Nothing of the rejected calls stuck.
    EXPECT_THAT(request.getFields(), ElementsAre(Pair("Authorization", "Bearer t")));
    EXPECT_EQ(request.getURL(), "/ok");
    EXPECT_EQ(request.getVersion(), 11);
    request.setVersion(10);
    EXPECT_EQ(request.getVersion(), 10);
}

// ---- HttpResponse ----

TEST(HttpResponseTest, StartsAsEmpty200) {
    const HttpResponse response;
    EXPECT_EQ(response.getVersion(), 11);
    EXPECT_EQ(response.getStatus(), 200);
    EXPECT_EQ(response.getReason(), "OK");
    EXPECT_TRUE(response.getFields().empty());
    EXPECT_EQ(response.getBody(), "");
}

TEST(HttpResponseTest, StatusOutsideThreeDigitsIsRejected) {
    HttpResponse response;
    response.setStatus(0);
    EXPECT_EQ(response.getStatus(), 0);
    response.setStatus(999);
    EXPECT_EQ(response.getStatus(), 999);
    for (int status : {-1, 1000, 65536 + 200}) {
        try {
            response.setStatus(status);
            ADD_FAILURE() << status << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "invalid status-code");
        }
    }
    EXPECT_EQ(response.getStatus(), 999);
}

TEST(HttpResponseTest, ReasonReceivedElseStandardPhrase) {
    HttpResponse response;
    response.setStatus(404);
    EXPECT_EQ(response.getReason(), "Not Found");
    response.setStatus(503);
    EXPECT_EQ(response.getReason(), "Service Unavailable");
    response.setReason("Busy Right Now");
    EXPECT_EQ(response.getReason(), "Busy Right Now");
}

TEST(HttpResponseTest, GetHeaderFindsFirstFieldIgnoringCase) {
    HttpResponse response;
    response.addHeader("Retry-After", "5");
    response.addHeader("X-Version", "1");
    response.addHeader("retry-after", "9");
    EXPECT_EQ(response.getHeader("retry-after"), "5");
    EXPECT_EQ(response.getHeader("X-VERSION"), "1");
    EXPECT_EQ(response.getHeader("Retry"), std::nullopt);
    EXPECT_THAT(response.getFields(), ElementsAre(Pair("Retry-After", "5"), Pair("X-Version", "1"),
                                                  Pair("retry-after", "9")));
    EXPECT_THROW(response.addHeader("X", "a\r\nb"), std::invalid_argument);
    EXPECT_EQ(response.getFields().size(), 3u);

    HttpResponse copy = response;
    copy.addHeader("Extra", "1");
    copy.setBody("changed");
    EXPECT_EQ(response.getFields().size(), 3u);
    EXPECT_EQ(response.getBody(), "");
}

}  // namespace
