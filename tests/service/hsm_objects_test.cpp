// Objects and searches of the emulated HSM, through a real tunnel.

#include <gtest/gtest.h>

#include "tests/service/hsm_fixture.h"

namespace service_test {
namespace {

constexpr std::uint32_t CREATE_OBJECT = 0x0F;
constexpr std::uint32_t COPY_OBJECT = 0x10;
constexpr std::uint32_t DESTROY_OBJECT = 0x11;
constexpr std::uint32_t GET_OBJECT_SIZE = 0x12;
constexpr std::uint32_t GET_ATTRIBUTE_VALUE = 0x13;
constexpr std::uint32_t GET_ATTRIBUTE_SIZE = 0x14;
constexpr std::uint32_t MODIFY_OBJECT = 0x15;
constexpr std::uint32_t GET_OUID = 0x9D;
constexpr std::uint32_t FIND_INIT = 0xF2;
constexpr std::uint32_t FIND_UPDATE = 0xF3;
constexpr std::uint32_t FIND_FINAL = 0xF4;
constexpr std::uint32_t OUID_ATTRIBUTE = 0x80000005;
constexpr std::uint32_t LABEL = 0x03;
constexpr std::uint32_t CLASS = 0x00;
constexpr std::uint32_t OBJECT_HANDLE_INVALID = 0x820000;
constexpr std::uint32_t ATTRIBUTE_TYPE_INVALID = 0x120000;
constexpr std::uint32_t NOT_LOGGED_IN = 0x1010000;
constexpr std::uint32_t TEMPLATE_INCONSISTENT = 0xD10000;
constexpr std::uint32_t TEMPLATE_INCOMPLETE = 0xD00000;
constexpr std::uint32_t CONTEXT_INVALID = 0x80001601;
constexpr std::uint32_t ARGUMENTS_BAD = 0x70000;
constexpr std::uint32_t TRAILER = 0xABCD;

// The template area padded to eight bytes, as clients send it.
bytes padded(bytes data) {
    data.resize((data.size() + 7) / 8 * 8, 0);
    return data;
}

class ObjectTest : public HsmTest {
  protected:
    void SetUp() override {
        HsmTest::SetUp();
        session_ = open_session();
        ASSERT_EQ(login(session_), 0u);
    }

    result_t create(const bytes& tmpl) {
        // From offset 196 to a request size that is a multiple of eight, as clients send it.
        auto area = concat(tmpl, word(TRAILER));
        area.resize((area.size() + 4 + 7) / 8 * 8 - 4, 0);
        return bound(CREATE_OBJECT, session_, area);
    }
    std::uint32_t create_labelled(const std::string& label, std::uint32_t klass = 3) {
        auto made = create(make_template({{LABEL, text(label)}, {CLASS, word(klass)}}));
        EXPECT_EQ(made.result, 0u);
        return made.body.size() >= 4 ? u32_at(made.body, 0) : 0;
    }
    result_t value(std::uint32_t object, std::uint32_t type, std::uint32_t session = 0) {
        return send(GET_ATTRIBUTE_VALUE, session ? session : session_,
                    concat(word(object), word(type)));
    }
    bytes value_bytes(std::uint32_t object, std::uint32_t type) {
        auto reply = value(object, type);
        EXPECT_EQ(reply.result, 0u);
        return bytes(reply.body.begin() + 8, reply.body.end());
    }
    bytes search_id(const bytes& tmpl, std::uint32_t session = 0) {
        auto init = send(FIND_INIT, session ? session : session_, padded(tmpl));
        EXPECT_EQ(init.result, 0u);
        return init.body;
    }
    result_t step(std::uint32_t code, const bytes& id, std::uint64_t sequence,
                  std::uint32_t max_count = 16, std::uint32_t session = 0) {
        bytes body = id;
        body.resize(32, 0);
        put64(body, 16, sequence);
        put32(body, 24, max_count);
        if (code == FIND_FINAL) {
            body.resize(24);
        }
        return send(code, session ? session : session_, body);
    }
    static std::vector<std::uint32_t> handles(const result_t& update) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t i = 0; i < u32_at(update.body, 0); ++i) {
            out.push_back(u32_at(update.body, 4 + 4 * i));
        }
        return out;
    }

    std::uint32_t session_ = 0;
};

TEST_F(ObjectTest, CreateThenReadItsAttributesSizesAndUniqueId) {
    const auto object = create_labelled("demo key");
    ASSERT_NE(object, 0u);
    auto label = value(object, LABEL);
    ASSERT_EQ(label.result, 0u);
    EXPECT_EQ(u32_at(label.body, 0), 8u);
    EXPECT_EQ(u32_at(label.body, 4), 0u);  // kind: byte string
    EXPECT_EQ(value_bytes(object, LABEL), text("demo key"));
    EXPECT_EQ(u32_at(send(GET_ATTRIBUTE_SIZE, session_, concat(word(object), word(LABEL))).body, 0),
              8u);
    // 8 header + (8 + 8) label + (8 + 4) class + (8 + 12) unique id
    EXPECT_EQ(u32_at(send(GET_OBJECT_SIZE, session_, word(object)).body, 0), 56u);
    const auto ouid = value_bytes(object, OUID_ATTRIBUTE);
    ASSERT_EQ(ouid.size(), 12u);
    auto by_handle = send(GET_OUID, 0, concat(word(object), word(0)));
    ASSERT_EQ(by_handle.result, 0u);
    EXPECT_EQ(by_handle.body, ouid);
    EXPECT_NE(value_bytes(create_labelled("second"), OUID_ATTRIBUTE), ouid);
    EXPECT_EQ(value(object, 0x99).result, ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(value(object + 100, LABEL).result, OBJECT_HANDLE_INVALID);
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(ObjectTest, ChangesNeedALoggedInSessionReadsAnOpenOne) {
    const auto object = create_labelled("k");
    const auto public_session = open_session();
    auto tmpl = padded(concat(make_template({{LABEL, text("x")}}), word(0)));
    EXPECT_EQ(bound(CREATE_OBJECT, public_session, tmpl).result, NOT_LOGGED_IN);
    EXPECT_EQ(bound(DESTROY_OBJECT, public_session, word(object)).result, NOT_LOGGED_IN);
    EXPECT_EQ(value(object, LABEL, public_session).result, 0u);
    EXPECT_EQ(value(object, LABEL, public_session + 1000).result, 0xB30000u);
}

struct bad_template_t {
    const char* name;
    bytes tmpl;
    std::uint32_t expected;
};

class BadTemplate : public ObjectTest, public ::testing::WithParamInterface<bad_template_t> {};

TEST_P(BadTemplate, IsRefusedAndCreatesNothing) {
    EXPECT_EQ(create(GetParam().tmpl).result, GetParam().expected);
    EXPECT_TRUE(handles(step(FIND_UPDATE, search_id({}), 0)).empty());
}

bytes wrong_format() {
    auto tmpl = make_template({{LABEL, text("a")}});
    put32(tmpl, 0, 13);
    return tmpl;
}

bytes overlong_value() {
    auto tmpl = make_template({{LABEL, text("a")}});
    put32(tmpl, 12, 0x7FFFFFF0);
    return tmpl;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadTemplate,
    ::testing::Values(
        bad_template_t{"WrongFormatWord", wrong_format(), TEMPLATE_INCONSISTENT},
        bad_template_t{"RepeatedType", make_template({{LABEL, text("a")}, {LABEL, text("b")}}),
                       TEMPLATE_INCONSISTENT},
        bad_template_t{"SetsTheUniqueId", make_template({{OUID_ATTRIBUTE, bytes(12, 1)}}),
                       TEMPLATE_INCONSISTENT},
        bad_template_t{"NoAttributes", make_template({}), TEMPLATE_INCOMPLETE},
        bad_template_t{"Empty", {}, TEMPLATE_INCOMPLETE},
        bad_template_t{"ValueBeyondTheRequest", overlong_value(), TEMPLATE_INCONSISTENT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ObjectTest, ValueLengthBeyondTheRequestIsNotRead) {
    auto tmpl = make_template({{LABEL, text("abc")}});
    put32(tmpl, 12, 4000);
    EXPECT_EQ(create(tmpl).result, ARGUMENTS_BAD);
}

TEST_F(ObjectTest, ModifyAndCopy) {
    const auto object = create_labelled("before");
    const auto ouid = value_bytes(object, OUID_ATTRIBUTE);
    auto change = make_template({{LABEL, text("after")}, {0x11, word(1)}});
    ASSERT_EQ(bound(MODIFY_OBJECT, session_, concat(word(object), padded(change))).result, 0u);
    EXPECT_EQ(value_bytes(object, LABEL), text("after"));
    EXPECT_EQ(value_bytes(object, 0x11), word(1));
    EXPECT_EQ(value_bytes(object, OUID_ATTRIBUTE), ouid);

    auto copied = bound(COPY_OBJECT, session_, word(object));  // no template: a plain copy
    ASSERT_EQ(copied.result, 0u);
    const auto twin = u32_at(copied.body, 0);
    EXPECT_NE(twin, object);
    EXPECT_EQ(value_bytes(twin, LABEL), text("after"));
    EXPECT_NE(value_bytes(twin, OUID_ATTRIBUTE), ouid);

    auto relabel = make_template({{LABEL, text("twin")}});
    auto third = bound(COPY_OBJECT, session_, concat(word(object), padded(relabel)));
    ASSERT_EQ(third.result, 0u);
    EXPECT_EQ(value_bytes(u32_at(third.body, 0), LABEL), text("twin"));
    EXPECT_EQ(value_bytes(object, LABEL), text("after"));
}

TEST_F(ObjectTest, DestroyOnceThenTheHandleIsInvalid) {
    const auto object = create_labelled("gone");
    EXPECT_EQ(bound(DESTROY_OBJECT, session_, word(object)).result, 0u);
    EXPECT_EQ(bound(DESTROY_OBJECT, session_, word(object)).result, OBJECT_HANDLE_INVALID);
    EXPECT_EQ(value(object, LABEL).result, OBJECT_HANDLE_INVALID);
    EXPECT_EQ(send(GET_OUID, 0, word(object)).result, OBJECT_HANDLE_INVALID);
}

TEST_F(ObjectTest, SearchStepsThroughMatchesWithIncreasingSequenceNumbers) {
    const auto a = create_labelled("match");
    create_labelled("other");
    const auto c = create_labelled("match");
    const auto id = search_id(make_template({{LABEL, text("match")}}));
    ASSERT_EQ(id.size(), 16u);
    auto first = step(FIND_UPDATE, id, 0, 1);
    ASSERT_EQ(first.result, 0u);
    EXPECT_EQ(handles(first), std::vector<std::uint32_t>{a});
    EXPECT_EQ(handles(step(FIND_UPDATE, id, 1, 1)), std::vector<std::uint32_t>{c});
    EXPECT_TRUE(handles(step(FIND_UPDATE, id, 2, 1)).empty());
    EXPECT_EQ(step(FIND_FINAL, id, 3).result, 0u);
    EXPECT_EQ(step(FIND_UPDATE, id, 4).result, CONTEXT_INVALID);  // ended
    EXPECT_EQ(violations().total(), 0u);
}

TEST_F(ObjectTest, ARepeatedSequenceNumberIsRefusedAndCounted) {
    create_labelled("x");
    const auto id = search_id({});
    EXPECT_EQ(step(FIND_UPDATE, id, 0, 0).result, 0u);
    EXPECT_EQ(step(FIND_UPDATE, id, 0, 1).result, CONTEXT_INVALID);
    EXPECT_EQ(violations().saved_context_sequences, 1u);
    EXPECT_EQ(handles(step(FIND_UPDATE, id, 5, 1)).size(), 1u);  // gaps are fine
}

TEST_F(ObjectTest, SearchesBelongToTheirSessionAndSkipDestroyedObjects) {
    const auto a = create_labelled("s");
    const auto b = create_labelled("s");
    const auto id = search_id({});
    const auto other = open_session();
    EXPECT_EQ(step(FIND_UPDATE, id, 0, 16, other).result, CONTEXT_INVALID);
    EXPECT_EQ(violations().saved_context_sequences, 0u);
    ASSERT_EQ(bound(DESTROY_OBJECT, session_, word(a)).result, 0u);
    EXPECT_EQ(handles(step(FIND_UPDATE, id, 0)), std::vector<std::uint32_t>{b});
    EXPECT_EQ(bound(CLOSE_SESSION, session_).result, 0u);
    session_ = open_session();
    EXPECT_EQ(step(FIND_UPDATE, id, 1).result, CONTEXT_INVALID);  // ended with its session
}

TEST_F(ObjectTest, ANewSearchReplacesTheSessionsPreviousOne) {
    create_labelled("r");
    const auto first = search_id({});
    const auto second = search_id({});
    EXPECT_NE(first, second);
    EXPECT_EQ(step(FIND_UPDATE, first, 0).result, CONTEXT_INVALID);
    EXPECT_EQ(handles(step(FIND_UPDATE, second, 0)).size(), 1u);
}

TEST_F(ObjectTest, FindByUniqueIdInAPublicSession) {
    create_labelled("one");
    const auto object = create_labelled("two");
    const auto ouid = value_bytes(object, OUID_ATTRIBUTE);
    const auto lookup = open_session();
    const auto id = search_id(make_template({{OUID_ATTRIBUTE, ouid}}), lookup);
    EXPECT_EQ(handles(step(FIND_UPDATE, id, 0, 1, lookup)), std::vector<std::uint32_t>{object});
    auto stranger = ouid;
    stranger[0] ^= 0xFF;
    const auto none = search_id(make_template({{OUID_ATTRIBUTE, stranger}}), lookup);
    EXPECT_TRUE(handles(step(FIND_UPDATE, none, 0, 1, lookup)).empty());
}

}  // namespace
}  // namespace service_test
