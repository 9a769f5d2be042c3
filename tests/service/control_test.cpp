// The control interface: its JSON, in-process and over its own loopback port.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "service/control.h"
#include "service/server.h"
#include "tests/service/engine_fixture.h"

namespace service_test {
namespace {

nlohmann::json json_of(const bytes& body) {
    return nlohmann::json::parse(std::string(body.begin(), body.end()));
}

service::http_request_t control_request(std::string method, std::string target,
                                        std::string body = {}) {
    return {std::move(method), std::move(target), {}, bytes(body.begin(), body.end())};
}

TEST(FaultJson, ReadsEveryField) {
    unsigned count = 1;
    auto fault = service::fault_from_json(
        R"({"count": 3, "command": 264, "http_status": 503, "retry_after": "2", "delay_ms": 40,
            "close_connection": true, "truncate_body": true, "oversize_body": true,
            "tamper_tag": true, "wrong_sequence": true, "tunnel_status": 2147489280,
            "hsm_result": 8519680})",
        count);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(fault.command, 264u);
    EXPECT_EQ(fault.http_status, 503u);
    EXPECT_EQ(fault.retry_after, "2");
    EXPECT_EQ(fault.delay, std::chrono::milliseconds(40));
    EXPECT_TRUE(fault.close_connection && fault.truncate_body && fault.oversize_body &&
                fault.tamper_tag && fault.wrong_sequence);
    EXPECT_EQ(fault.tunnel_status, 0x80001600u);
    EXPECT_EQ(fault.hsm_result, 0x820000u);
}

TEST(FaultJson, RefusesUnknownFieldsAndWrongTypes) {
    unsigned count = 1;
    for (const char* text :
         {R"({"http_stauts": 503})", R"({"http_status": "503"})", R"({"tamper_tag": 1})",
          R"({"count": -1})", R"([1])", "not json", R"({"delay_ms": 1.5})"}) {
        EXPECT_THROW(service::fault_from_json(text, count), std::invalid_argument) << text;
    }
}

TEST_F(EngineTest, ControlRequestsDriveTheEngine) {
    auto reply = service::handle_control(
        engine_, nullptr, control_request("POST", "/faults", R"({"count": 2, "hsm_result": 5})"));
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(json_of(reply.body).at("pending"), 2);
    EXPECT_EQ(send(0x02, 13).result, 5u);
    reply = service::handle_control(engine_, nullptr, control_request("DELETE", "/faults"));
    EXPECT_EQ(json_of(reply.body).at("pending"), 0);
    EXPECT_EQ(send(0x02, 13).result, 0u);

    reply = service::handle_control(engine_, nullptr, control_request("GET", "/requests"));
    const auto records = json_of(reply.body);
    ASSERT_TRUE(records.is_array());
    const auto& last = records.back();
    EXPECT_EQ(last.at("command"), 2);
    EXPECT_EQ(last.at("status"), 200);
    EXPECT_EQ(last.at("result"), 0);
    EXPECT_EQ(last.at("target"), "/vHSM/1001");
    EXPECT_TRUE(last.at("command_hex").get<std::string>().starts_with("0200000017000000"));

    reply = service::handle_control(engine_, nullptr, control_request("GET", "/violations"));
    EXPECT_EQ(json_of(reply.body).at("total"), 0);
    EXPECT_EQ(service::handle_control(engine_, nullptr, control_request("GET", "/nothing")).status,
              404u);
    EXPECT_EQ(service::handle_control(engine_, nullptr, control_request("POST", "/faults", "{oops"))
                  .status,
              400u);
    EXPECT_EQ(
        service::handle_control(engine_, nullptr, control_request("POST", "/oauth/revoke")).status,
        404u);  // not without the OAuth stand-in
}

TEST(ControlServer, FaultsInjectedOverTheControlPort) {
    pki_dir pki({SERIAL});
    service::server_options_t options;
    options.pki_dir = pki.path();
    options.control_port = 0;
    service::server server(options);
    server.start();
    ASSERT_TRUE(server.control_port());
    const auto control = *server.control_port();
    EXPECT_EQ(plain_http(control, "POST", "/faults", R"({"http_status": 429})").status, 200u);

    https_client connection(server.port(), pki.path() / "tls" / "ca-bundle.pem");
    xtc_client client(https_transport(connection), SERIAL, pki.partition_public_key(SERIAL),
                      service::system_seconds);
    EXPECT_EQ(client.open().status, 429u);
    EXPECT_TRUE(client.open().authentic);
    auto log = json_of(plain_http(control, "GET", "/requests").body);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].at("status"), 429);
    EXPECT_EQ(log[1].at("command"), 0x106);
    EXPECT_EQ(json_of(plain_http(control, "GET", "/violations").body).at("total"), 0);
}

}  // namespace
}  // namespace service_test
