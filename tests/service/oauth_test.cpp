// The OAuth stand-in: configuration document, client-credentials tokens, and bearer checks
// on /vHSM, in-process and over TLS.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "service/base64.h"
#include "service/oauth.h"
#include "service/server.h"
#include "tests/service/engine_fixture.h"

namespace service_test {
namespace {

constexpr char FORM[] = "grant_type=client_credentials&token_format=jwt";

std::string basic(const std::string& id, const std::string& secret) {
    return "Basic " + service::base64_encode(id + ":" + secret);
}

service::http_request_t token_request(std::string authorization, std::string body = FORM) {
    service::http_request_t request{"POST", service::OAUTH_TOKEN_TARGET, {}, {}};
    request.headers = {{"User-Agent", "Boost.Beast/181"},
                       {"Content-Type", "application/x-www-form-urlencoded"},
                       {"Accept", "application/json"},
                       {"Host", "localhost"}};
    if (!authorization.empty()) {
        request.headers.emplace_back("Authorization", authorization);
    }
    request.body.assign(body.begin(), body.end());
    return request;
}

nlohmann::json json_of(const bytes& body) {
    return nlohmann::json::parse(std::string(body.begin(), body.end()));
}

class OAuthTest : public ::testing::Test {
  protected:
    std::int64_t now_ = START_TIME;
    service::oauth_stand_in oauth_{{}, [this] { return now_; }};
};

TEST_F(OAuthTest, ConfigurationNamesTheTokenEndpointOnTheAskedHost) {
    oauth_.set_port(8443);
    service::http_request_t request{
        "POST", service::OAUTH_CONFIG_TARGET, {{"Host", "localhost"}}, {}};
    auto reply = oauth_.route(request);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200u);
    EXPECT_EQ(json_of(reply->body).at("token_endpoint"), "https://localhost:8443/oauth/token");
    request.method = "GET";
    request.headers.clear();
    EXPECT_EQ(json_of(oauth_.route(request)->body).at("token_endpoint"),
              "https://127.0.0.1:8443/oauth/token");
}

TEST_F(OAuthTest, IssuesJwtShapedTokensWithExp) {
    auto reply = oauth_.route(token_request(basic("ximora-client", "ximora-secret")));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status, 200u);
    const auto token = json_of(reply->body).at("access_token").get<std::string>();
    const auto first = token.find('.');
    const auto last = token.rfind('.');
    ASSERT_NE(first, last);
    auto payload = service::base64url_decode(token.substr(first + 1, last - first - 1));
    ASSERT_TRUE(payload);
    EXPECT_EQ(nlohmann::json::parse(*payload).at("exp").get<std::int64_t>(),
              START_TIME + 12 * 3600);
    EXPECT_TRUE(oauth_.accepts(token));
    now_ += 12 * 3600 - 1;
    EXPECT_TRUE(oauth_.accepts(token));
    now_ += 1;
    EXPECT_FALSE(oauth_.accepts(token));
}

struct token_refusal_t {
    const char* name;
    std::string authorization;
    std::string body;
    unsigned status;
};

class TokenRefusal : public OAuthTest, public ::testing::WithParamInterface<token_refusal_t> {};

TEST_P(TokenRefusal, IsAnsweredWithAnError) {
    auto reply = oauth_.route(token_request(GetParam().authorization, GetParam().body));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, GetParam().status);
    EXPECT_TRUE(json_of(reply->body).contains("error"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenRefusal,
    ::testing::Values(token_refusal_t{"NoCredentials", "", FORM, 401},
                      token_refusal_t{"WrongSecret", basic("ximora-client", "guess"), FORM, 401},
                      token_refusal_t{"WrongClient", basic("someone", "ximora-secret"), FORM, 401},
                      token_refusal_t{"NotBase64", "Basic ???", FORM, 401},
                      token_refusal_t{"BearerInstead", "Bearer abc", FORM, 401},
                      token_refusal_t{"OtherGrant", basic("ximora-client", "ximora-secret"),
                                      "grant_type=password", 400},
                      token_refusal_t{"NoGrant", basic("ximora-client", "ximora-secret"), "", 400}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OAuthTest, ForgedRevokedOrMalformedTokensAreRefused) {
    const auto token = oauth_.issue_token();
    auto forged = token;
    forged[token.find('.') + 3] ^= 0x01;  // a payload byte
    EXPECT_FALSE(oauth_.accepts(forged));
    for (const char* junk : {"", ".", "..", "a.b.c", "abc", "a.b"}) {
        EXPECT_FALSE(oauth_.accepts(junk)) << junk;
    }
    EXPECT_FALSE(oauth_.accepts(token.substr(0, token.rfind('.') + 1)));  // no signature
    oauth_.revoke_all();
    EXPECT_FALSE(oauth_.accepts(token));
    EXPECT_TRUE(oauth_.accepts(oauth_.issue_token()));
}

class BearerTest : public EngineTest {
  protected:
    void SetUp() override {
        engine_.set_bearer_check([this](std::string_view token) { return oauth_.accepts(token); });
        client_ = xtc_client(
            [this](const std::string& target, const bytes& body, const header_list_t& headers) {
                auto with_token = headers;
                if (!bearer_.empty()) {
                    with_token.emplace_back("Authorization", "Bearer " + bearer_);
                }
                return engine_transport(engine_)(target, body, with_token);
            },
            SERIAL, key_, [this] { return now_; });
        bearer_ = oauth_.issue_token();
        EngineTest::SetUp();
    }
    service::oauth_stand_in oauth_{{}, [this] { return now_; }};
    std::string bearer_;
};

TEST_F(BearerTest, VhsmNeedsAValidToken) {
    EXPECT_EQ(send(0x02, 13).result, 0u);
    for (std::string bad : {std::string(), std::string("not-a-token")}) {
        bearer_ = bad;
        auto reply = send(0x02, 13);
        EXPECT_EQ(reply.status, 401u);
        EXPECT_EQ(header_of(reply.headers, "WWW-Authenticate"), "Bearer");
    }
    bearer_ = oauth_.issue_token();
    now_ += 13 * 3600;
    EXPECT_EQ(send(0x02, 13).status, 401u);
    bearer_ = oauth_.issue_token();
    EXPECT_EQ(send(0x02, 13).status, 200u);
    EXPECT_EQ(violations().total(), 0u);
}

TEST(OAuthServer, TokenFromTheEndpointOpensTheDoorOverTls) {
    pki_dir pki({SERIAL});
    service::server_options_t options;
    options.pki_dir = pki.path();
    options.oauth = true;
    service::server server(options);
    server.start();
    https_client connection(server.port(), pki.path() / "tls" / "ca-bundle.pem");
    auto config = connection.post(service::OAUTH_CONFIG_TARGET, {}, {{"Host", "127.0.0.1"}});
    ASSERT_EQ(config.status, 200u);
    EXPECT_EQ(json_of(config.body).at("token_endpoint"),
              "https://127.0.0.1:" + std::to_string(server.port()) + "/oauth/token");
    const std::string form = FORM;
    auto issued = connection.post(service::OAUTH_TOKEN_TARGET, bytes(form.begin(), form.end()),
                                  {{"Authorization", basic("ximora-client", "ximora-secret")}});
    ASSERT_EQ(issued.status, 200u);
    const auto token = json_of(issued.body).at("access_token").get<std::string>();

    auto client = xtc_client(
        [&](const std::string& target, const bytes& body, const header_list_t& headers) {
            auto with_token = headers;
            with_token.emplace_back("Authorization", "Bearer " + token);
            return connection.post(target, body, with_token);
        },
        SERIAL, pki.partition_public_key(SERIAL), service::system_seconds);
    EXPECT_TRUE(client.open().authentic);
    server.oauth()->revoke_all();
    EXPECT_EQ(client.send(command(0x02, {}, 13)).status, 401u);
}

}  // namespace
}  // namespace service_test
