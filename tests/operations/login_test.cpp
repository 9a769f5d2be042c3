// Login by challenge and response against a scripted partition that holds a challenge chain
// minted under the compiled-in development root and decrypts what the plug-in sends.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <functional>
#include <memory>
#include <optional>

#include "config/codes.h"
#include "operations/sessions.h"
#include "plugin/session_maps.h"
#include "tests/operations/operations_fixture.h"
#include "tools/pki/pki.h"

namespace optest {
namespace {

namespace pki = ximora::pki;

constexpr std::uint32_t USER = 1;
constexpr std::uint32_t CHALLENGE_FIRST_WORD = 0xC1;
constexpr std::uint32_t HSM_PIN_ERROR = 0xA0000;  // what a partition says to a wrong PIN

bytes_t pattern(std::size_t size, std::uint8_t start) {
    bytes_t bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(start + i);
    }
    return bytes;
}

std::optional<bytes_t> oaep_decrypt(const pki::pkey_ptr& key, const bytes_t& encrypted) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), EVP_PKEY_CTX_free);
    bytes_t out(EVP_PKEY_get_size(key.get()));
    std::size_t length = out.size();
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha512()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha512()) <= 0 ||
        EVP_PKEY_decrypt(ctx.get(), out.data(), &length, encrypted.data(), encrypted.size()) <= 0) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

class LoginTest : public OperationsTest {
  protected:
    static void SetUpTestSuite() {
#ifdef XIMORA_DEV_ROOT_DIR
        chain_ = new std::vector<pki::issued_t>(
            pki::mint_challenge_chain(pki::load_root(XIMORA_DEV_ROOT_DIR)));
#endif
    }
    static void TearDownTestSuite() {
        delete chain_;
        chain_ = nullptr;
    }

    void SetUp() override {
        if (chain_ == nullptr) {
            GTEST_SKIP() << "built with a deployment root: no key to mint a challenge chain";
        }
        OperationsTest::SetUp();
        challenge_ = pattern(40, 0x80);
        answer(ORVA_REQUEST_CHALLENGE, [this](const fake::received_t&) {
            return fake::with_body(concat(
                {words({CHALLENGE_FIRST_WORD, static_cast<std::uint32_t>(challenge_.size())}),
                 challenge_}));
        });
        answer_body(ORVA_GET_PEC, pec_reply());
    }

    // Leaf, second and third certificate lengths, then the three DER certificates.
    static bytes_t pec_reply() {
        const auto leaf = pki::to_der((*chain_)[0].cert);
        const auto second = pki::to_der((*chain_)[1].cert);
        const auto third = pki::to_der((*chain_)[2].cert);
        return concat({words({static_cast<std::uint32_t>(leaf.size()),
                              static_cast<std::uint32_t>(second.size()),
                              static_cast<std::uint32_t>(third.size())}),
                       leaf, second, third});
    }

    // The partition's side of the login: decrypt with the challenge key, compare.
    void expect_pin(const bytes_t& pin) {
        answer(ORVA_LOGIN, [this, pin](const fake::received_t& r) {
            const sent_t login{r.code, 0, false, false, 0, 0, r.command};
            const std::uint32_t length = login.at(184, 4)[0] | (login.at(184, 4)[1] << 8);
            decrypted_ = oaep_decrypt((*chain_)[0].key, login.at(188, length));
            const bool correct = decrypted_ && *decrypted_ == concat({challenge_, pin});
            return fake::result(correct ? RC_OK : HSM_PIN_ERROR);
        });
    }

    static inline std::vector<pki::issued_t>* chain_ = nullptr;
    bytes_t challenge_;
    std::optional<bytes_t> decrypted_;
};

TEST_F(LoginTest, ChallengeAndPinReachThePartitionEncryptedUnderTheChallengeKey) {
    bytes_t pin = {'1', '2', '3', '4', '5', '6'};
    expect_pin(pin);
    api_memory_block secret{pin.data(), static_cast<std::uint32_t>(pin.size())};

    ASSERT_EQ(login(nullptr, SESSION, FIRST_CONTAINER, USER, &secret, 0, false), RC_OK);
    ASSERT_TRUE(decrypted_.has_value());
    EXPECT_EQ(sent_codes(),
              (std::vector<std::uint32_t>{ORVA_REQUEST_CHALLENGE, ORVA_GET_PEC, ORVA_LOGIN}));
    const sent_t pec = sent(ORVA_GET_PEC).at(0);
    EXPECT_EQ(pec.request_size(), 176u);
    EXPECT_EQ(pec.response_capacity, 13400u);
    EXPECT_TRUE(pec.multipart);
    EXPECT_FALSE(pec.mutates);
    EXPECT_EQ(pec.session, SESSION);
    EXPECT_EQ(pec.at(172, 4), u32_bytes(0));

    const sent_t cmd = sent(ORVA_LOGIN).at(0);
    EXPECT_EQ(cmd.request_size(), 448u);  // 188 + 256, rounded up to 8
    EXPECT_EQ(cmd.response_capacity, 80u);
    EXPECT_TRUE(cmd.multipart && cmd.mutates);
    EXPECT_EQ(cmd.session, SESSION);
    EXPECT_EQ(cmd.at(172, 16), words({SESSION, USER, 7, 256}));
    EXPECT_EQ(cmd.at(444, 4), bytes_t(4, 0));
    // Login state lives in the HSM only.
    EXPECT_EQ(s_session_partition_map.size(), 2u);
}

TEST_F(LoginTest, WrongPinIsThePartitionsAnswer) {
    expect_pin({'1', '2', '3', '4'});
    bytes_t wrong = {'9', '9', '9', '9'};
    api_memory_block secret{wrong.data(), 4};
    EXPECT_EQ(login_exec(nullptr, OTHER_SESSION, SECOND_CONTAINER, USER, &secret, 7, false),
              HSM_PIN_ERROR);
    EXPECT_TRUE(decrypted_.has_value());
}

struct failure_case_t {
    const char* name;
    std::size_t challenge;              // length of the partition's challenge
    std::optional<std::size_t> secret;  // none: no secret block
    std::function<bytes_t()> pec;       // none: the valid chain
    std::uint32_t expected;
    std::vector<std::uint32_t> codes;  // commands sent
};

void PrintTo(const failure_case_t& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<std::uint32_t> CHALLENGE_ONLY = {ORVA_REQUEST_CHALLENGE};
const std::vector<std::uint32_t> UP_TO_PEC = {ORVA_REQUEST_CHALLENGE, ORVA_GET_PEC};

// clang-format off
const failure_case_t FAILURE_CASES[] = {
    {"no_secret_after_the_challenge", 40, std::nullopt, nullptr, RC_POINTER_INVALID, CHALLENGE_ONLY},
    {"challenge_longer_than_the_buffer", 65, 4, nullptr, RC_CHALLENGE_BUFFER_SIZE, CHALLENGE_ONLY},
    // 512 bytes pass the length check; no OAEP key that fits the 512-byte output can take them.
    {"challenge_and_secret_of_512_bytes", 40, 472, nullptr, RC_DATA_INVALID, UP_TO_PEC},
    {"challenge_and_secret_of_513_bytes", 40, 473, nullptr, ORVA_RET_DATA_INVALID, UP_TO_PEC},
    {"certificate_lengths_over_the_limit", 40, 4, [] { return words({0x3400, 1, 0}); },
     RC_BUFFER_TOO_SMALL, UP_TO_PEC},
    {"certificate_lengths_sum_over_the_limit", 40, 4, [] { return words({0x1A00, 0x1A00, 1}); },
     RC_BUFFER_TOO_SMALL, UP_TO_PEC},
    {"certificates_beyond_the_reply", 40, 4, [] { return concat({words({600, 500, 400}), bytes_t(100, 0x30)}); },
     RC_BUFFER_TOO_SMALL, UP_TO_PEC},
    {"certificates_unreadable", 40, 4, [] { return concat({words({3, 3, 3}), bytes_t(9, 0x30)}); },
     ORVA_RET_INVALID_CERTIFICATE_DATA, UP_TO_PEC},
};
// clang-format on

class LoginFailureTest : public LoginTest, public ::testing::WithParamInterface<failure_case_t> {};

TEST_P(LoginFailureTest, StopsWithoutLoggingIn) {
    const auto& c = GetParam();
    challenge_ = pattern(c.challenge, 0x80);
    if (c.pec) {
        answer_body(ORVA_GET_PEC, c.pec());
    }
    bytes_t secret_bytes(c.secret.value_or(0), 'x');
    api_memory_block secret{secret_bytes.data(), static_cast<std::uint32_t>(secret_bytes.size())};

    EXPECT_EQ(
        login(nullptr, SESSION, FIRST_CONTAINER, USER, c.secret ? &secret : nullptr, 0, false),
        c.expected);
    EXPECT_EQ(sent_codes(), c.codes);
}

INSTANTIATE_TEST_SUITE_P(Login, LoginFailureTest, ::testing::ValuesIn(FAILURE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoginTest, LeafOutsideTheChallengeChainIsRefused) {
    // A chain without the challenge leaf: the second certificate presented as the leaf.
    const auto ca8 = pki::to_der((*chain_)[1].cert);
    const auto ca7 = pki::to_der((*chain_)[2].cert);
    answer_body(ORVA_GET_PEC, concat({words({static_cast<std::uint32_t>(ca8.size()),
                                             static_cast<std::uint32_t>(ca8.size()),
                                             static_cast<std::uint32_t>(ca7.size())}),
                                      ca8, ca8, ca7}));
    bytes_t pin = {'1'};
    api_memory_block secret{pin.data(), 1};
    EXPECT_EQ(login(nullptr, SESSION, FIRST_CONTAINER, USER, &secret, 0, false),
              ORVA_RET_INVALID_CERTIFICATE_DATA);
}

}  // namespace
}  // namespace optest
