// Building the tunnel state from the configuration file, with partition certificates minted
// under the development root the build compiled in.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/pki/pki.h"
#include "xtc/xtc.h"

namespace {

namespace fs = std::filesystem;
namespace pki = ximora::pki;

constexpr const char* CONFIG_PATH_ENV = "MarlevonConfigurationPath";
constexpr const char* UNABLE_TO_LOCATE =
    "Zarv configuration error. Unable to locate partition. Please check XTC certificate entries "
    "in the configuration file\n";
constexpr const char* INVALID_TIMEOUT = "Zarv configuration error. Invalid XTC timeout.\n";

// Files of the minted deployment, by short name: "ca", "1001", "1001-again", "no-serial".
class Deployment {
  public:
    Deployment() {
        char pattern[] = "/tmp/xtc-init-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        dir_ = pattern;
#ifdef XIMORA_DEV_ROOT_DIR
        const auto root = pki::load_root(XIMORA_DEV_ROOT_DIR);
        const auto cas = pki::mint_partition_cas(root, "init-test-domain");
        pki::write_cert_pem(path("ca"), {cas[0].cert, cas[1].cert, cas[2].cert});
        for (const std::uint64_t serial : {3003, 1001, 2002}) {
            mint(cas.front(), std::to_string(serial), pki::partition_spec(serial));
        }
        mint(cas.front(), "1001-again", pki::partition_spec(1001));
        auto no_serial = pki::partition_spec(0);
        no_serial.common_name = "not-a-number";
        mint(cas.front(), "no-serial", no_serial);
#endif
    }
    ~Deployment() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const {
        return (dir_ / (name + ".pem")).string();
    }
    const fs::path& dir() const {
        return dir_;
    }
    const pki::pkey_ptr& key(const std::string& name) const {
        return keys_.at(name);
    }

  private:
    void mint(const pki::issued_t& ca, const std::string& name, const pki::cert_spec_t& profile) {
        const auto issued = pki::issue(ca, profile);
        pki::write_cert_pem(path(name), {issued.cert});
        keys_[name] = issued.key;
    }

    fs::path dir_;
    std::map<std::string, pki::pkey_ptr> keys_;
};

struct init_case_t {
    std::string name;
    std::vector<std::string> certs;  // short names; "missing" names no file
    std::string ca;                  // short name, or "" for no PartitionCAPath key
    std::optional<std::string> timeout;
    std::optional<std::vector<std::uint64_t>> serials;  // none: init fails
    std::string message;  // expected standard error; %C is the first failing cert, %A the CA
};

class Init : public ::testing::TestWithParam<init_case_t> {
  protected:
    static void SetUpTestSuite() {
#ifdef XIMORA_DEV_ROOT_DIR
        deployment_ = new Deployment;
#endif
    }
    static void TearDownTestSuite() {
        delete deployment_;
        deployment_ = nullptr;
    }
    void SetUp() override {
        if (deployment_ == nullptr) {
            GTEST_SKIP() << "no development root to issue under";
        }
        const char* previous = std::getenv(CONFIG_PATH_ENV);
        previous_env_ = previous ? std::optional<std::string>(previous) : std::nullopt;
        setenv(CONFIG_PATH_ENV, deployment_->dir().c_str(), 1);
    }
    void TearDown() override {
        if (previous_env_) {
            setenv(CONFIG_PATH_ENV, previous_env_->c_str(), 1);
        } else {
            unsetenv(CONFIG_PATH_ENV);
        }
    }

    // Writes Marlevon.conf for the case and runs init, capturing standard error.
    xtc::state_handle run_init(const init_case_t& c, std::string& errors) const {
        std::ofstream conf(deployment_->dir() / "Marlevon.conf", std::ios::trunc);
        conf << "XTC = {\n";
        if (!c.ca.empty()) {
            conf << "    PartitionCAPath = " << deployment_->path(c.ca) << ";\n";
        }
        for (std::size_t i = 0; i < c.certs.size(); ++i) {
            conf << "    PartitionCertPath" << (i < 10 ? "0" : "") << i << " = "
                 << deployment_->path(c.certs[i]) << ";\n";
        }
        if (c.timeout) {
            conf << "    TimeoutSec = " << *c.timeout << ";\n";
        }
        conf << "}\n";
        conf.close();
        ::testing::internal::CaptureStderr();
        auto state = xtc::init();
        errors = ::testing::internal::GetCapturedStderr();
        return state;
    }

    static std::string expand(std::string text, const std::string& cert, const std::string& ca) {
        for (const auto& [mark, value] : {std::pair{"%C", cert}, std::pair{"%A", ca}}) {
            for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
                text.replace(at, 2, value);
            }
        }
        return text;
    }

    static inline Deployment* deployment_ = nullptr;
    std::optional<std::string> previous_env_;
};

TEST_P(Init, BuildsTheRegistryOrExplainsWhyNot) {
    const auto& c = GetParam();
    std::string errors;
    const auto state = run_init(c, errors);

    const std::string failing = c.certs.empty() ? "" : deployment_->path(c.certs.back());
    EXPECT_EQ(errors, expand(c.message, failing, deployment_->path(c.ca)));
    ASSERT_EQ(state != nullptr, c.serials.has_value());
    if (!state) {
        return;
    }
    EXPECT_TRUE(xtc::is_enabled(*state));
    EXPECT_EQ(state->timeout, std::stoull(*c.timeout));
    EXPECT_EQ(xtc::serialNumberList(*state), *c.serials);
    std::vector<std::uint32_t> containers;
    for (std::size_t i = 0; i < c.serials->size(); ++i) {
        containers.push_back(static_cast<std::uint32_t>(xtc::FIRST_CONTAINER + i));
    }
    EXPECT_EQ(xtc::containerList(*state), containers);
    const auto fallback = xtc::get_tunnel_copy(*state, 0);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->state, xtc::TUNNEL_NOT_OPEN);
    EXPECT_EQ(fallback->serial, c.serials->empty() ? 0 : c.serials->front());
}

// In every failing case below the last certificate named is the one the message names.
const init_case_t INIT_CASES[] = {
    {"NoCertificates", {}, "ca", "60", std::vector<std::uint64_t>{}, ""},
    {"NoCertificatesNorCa", {}, "", "600", std::vector<std::uint64_t>{}, ""},
    {"ThreePartitionsInSerialOrder",
     {"3003", "1001", "2002"},
     "ca",
     "1",
     std::vector<std::uint64_t>{1001, 2002, 3003},
     ""},
    {"SamePartitionTwice",
     {"1001", "1001-again"},
     "ca",
     "60",
     std::vector<std::uint64_t>{1001},
     ""},
    {"MissingTimeout", {"1001", "2002"}, "ca", std::nullopt, std::nullopt, INVALID_TIMEOUT},
    {"TimeoutZero", {"1001"}, "ca", "0", std::nullopt, INVALID_TIMEOUT},
    {"TimeoutTooLong", {"1001"}, "ca", "601", std::nullopt, INVALID_TIMEOUT},
    {"TimeoutNotANumber", {}, "ca", "60s", std::nullopt, INVALID_TIMEOUT},
    {"UnreadableCaFile",
     {"1001"},
     "missing",
     "60",
     std::nullopt,
     std::string("Failed to verify (cert=%C) (ca=%A)\n") + UNABLE_TO_LOCATE},
    {"UnreadableSecondCertificate",
     {"1001", "missing"},
     "ca",
     "60",
     std::nullopt,
     std::string("Failed to verify (cert=%C) (ca=%A)\n") + UNABLE_TO_LOCATE},
    {"CertificateWithoutSerial",
     {"2002", "no-serial"},
     "ca",
     "60",
     std::nullopt,
     std::string("Failed to extract partition serial number (cert=%C) (ca=%A)\n") +
         UNABLE_TO_LOCATE},
};

INSTANTIATE_TEST_SUITE_P(Cases, Init, ::testing::ValuesIn(INIT_CASES),
                         [](const auto& info) { return info.param.name; });

class InitDetails : public Init {};

TEST_F(InitDetails, FirstCertificateOfAPartitionProvidesItsKey) {
    std::string errors;
    const auto state = run_init({"", {"1001", "1001-again"}, "ca", "60", {}, ""}, errors);
    ASSERT_TRUE(state);
    const auto key = xtc::get_pub_key(*state, 1001);
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), deployment_->key("1001").get()), 1);
    EXPECT_NE(EVP_PKEY_eq(key.get(), deployment_->key("1001-again").get()), 1);
}

TEST_F(InitDetails, ContainerZeroAndAllOnesNameTheFirstPartition) {
    std::string errors;
    const auto state = run_init({"", {"2002", "3003", "1001"}, "ca", "60", {}, ""}, errors);
    ASSERT_TRUE(state);
    EXPECT_EQ(xtc::containerToSerialNumber(*state, 0), 1001u);
    EXPECT_EQ(xtc::containerToSerialNumber(*state, 0xFFFFFFFF), 1001u);
    EXPECT_EQ(xtc::containerToSerialNumber(*state, 1000002), 3003u);
    EXPECT_EQ(xtc::containerToSerialNumber(*state, 1000003), 0u);
    EXPECT_EQ(xtc::serialNumberToContainer(*state, 2002), 1000001u);
}

}  // namespace
