#pragma once
// A fresh engine with two partitions, a clock the test moves, and a client whose tunnel to
// the first partition is open and whose application id has been issued.

#include <gtest/gtest.h>

#include "service/codes.h"
#include "service/engine.h"
#include "tests/service/service_test_support.h"

namespace service_test {

constexpr std::uint64_t SERIAL = 1001;
constexpr std::uint64_t OTHER_SERIAL = 1002;
constexpr std::int64_t START_TIME = 1'767'225'600;

class EngineTest : public ::testing::Test {
  protected:
    explicit EngineTest(service::engine_options_t options = {})
        : engine_({{SERIAL, key_}, {OTHER_SERIAL, other_key_}}, std::move(options),
                  [this] { return now_; }),
          client_(engine_transport(engine_), SERIAL, key_, [this] { return now_; }) {}

    void SetUp() override {
        auto opened = client_.open();
        ASSERT_TRUE(opened.authentic);
        auto issued = client_.send(command(0x108, {}, 0));
        ASSERT_TRUE(issued.authentic);
        ASSERT_EQ(issued.result, 0u);
        ASSERT_EQ(issued.body.size(), 20u);
        std::copy_n(issued.body.begin(), APP_ID_SIZE, app_.begin());
    }

    result_t send(std::uint32_t code, std::uint32_t word0 = 0, const bytes& body = {},
                  std::uint32_t reply_limit = 4096) {
        return client_.send(command(code, app_, word0, body), reply_limit);
    }

    service::violation_counts_t violations() const { return engine_.violations(); }

    std::int64_t now_ = START_TIME;
    pkey_ptr key_ = new_p384_key();
    pkey_ptr other_key_ = new_p384_key();
    service::engine engine_;
    xtc_client client_;
    app_id_t app_{};
};

}  // namespace service_test
