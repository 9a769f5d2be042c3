#include "xtc/cert.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "tools/pki/pki.h"

namespace {

namespace pki = ximora::pki;
namespace fs = std::filesystem;

using specs_t = std::vector<pki::cert_spec_t>;

// Positions in a minted partition chain, leaf first, as the CA file lists them.
constexpr std::size_t LEAF = 0;
constexpr std::size_t CA_127 = 1;
constexpr std::size_t CA_8 = 2;
constexpr std::size_t CA_7 = 3;

specs_t partition_chain_specs() {
    return {pki::partition_spec(1001), pki::ca_spec(127, "domain"), pki::ca_spec(8, "CA 8"),
            pki::ca_spec(7, "CA 7")};
}

xtc::cert_stack_handle stack_of(const std::vector<pki::issued_t>& chain,
                                const std::vector<std::size_t>& picks) {
    std::vector<std::vector<std::uint8_t>> ders;
    for (std::size_t pick : picks) {
        ders.push_back(pki::to_der(chain.at(pick).cert));
    }
    return xtc::read_certs(ders);
}

bool same_key(const xtc::pkey_handle& a, const pki::pkey_ptr& b) {
    return a && b && EVP_PKEY_eq(a.get(), b.get()) == 1;
}

// A fresh directory per test, removed afterwards.
class temp_dir_t {
  public:
    temp_dir_t() {
        std::string pattern = (fs::temp_directory_path() / "cert_test.XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
    }
    ~temp_dir_t() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// --- chain verification -------------------------------------------------------------------

struct chain_case_t {
    const char* name;
    std::function<void(specs_t&)> tweak;  // adjusts the leaf-first profiles before minting
    std::vector<std::size_t> untrusted;   // chain positions handed over as intermediates
    bool other_root;                      // issue the whole chain under an unrelated root
    bool verifies;
};

void PrintTo(const chain_case_t& c, std::ostream* os) {
    *os << c.name;
}

void no_change(specs_t&) {}

const chain_case_t CHAIN_CASES[] = {
    {"Valid", no_change, {CA_127, CA_8, CA_7}, false, true},
    {"IntermediatesWithoutCaMarking",
     [](specs_t& s) { s[CA_127].ca = s[CA_8].ca = s[CA_7].ca = false; },
     {CA_127, CA_8, CA_7},
     false,
     true},
    {"WithoutCaMarkingAndWrongCode",
     [](specs_t& s) {
         s[CA_8].ca = false;
         s[CA_8].function = 9;
     },
     {CA_127, CA_8, CA_7},
     false,
     false},
    {"WrongFunctionOrder",
     [](specs_t& s) { std::swap(s[CA_127].function, s[CA_8].function); },
     {CA_127, CA_8, CA_7},
     false,
     false},
    {"LeafWithoutFunction",
     [](specs_t& s) { s[LEAF].function.reset(); },
     {CA_127, CA_8, CA_7},
     false,
     false},
    {"FunctionInAnotherExtension",
     [](specs_t& s) { s[LEAF].place = s[CA_8].place = pki::function_place::private_extension; },
     {CA_127, CA_8, CA_7},
     false,
     true},
    {"ExpiredLeaf",
     [](specs_t& s) { s[LEAF].validity = pki::EXPIRED; },
     {CA_127, CA_8, CA_7},
     false,
     true},
    {"ExpiredIntermediate",
     [](specs_t& s) { s[CA_8].validity = pki::EXPIRED; },
     {CA_127, CA_8, CA_7},
     false,
     true},
    {"NotYetValidLeaf",
     [](specs_t& s) { s[LEAF].validity = pki::NOT_YET_VALID; },
     {CA_127, CA_8, CA_7},
     false,
     false},
    {"NotYetValidIntermediate",
     [](specs_t& s) { s[CA_7].validity = pki::NOT_YET_VALID; },
     {CA_127, CA_8, CA_7},
     false,
     false},
    {"MissingIntermediate", no_change, {CA_127, CA_7}, false, false},
    {"IntermediatesInAnyOrder", no_change, {CA_7, CA_127, CA_8}, false, true},
    {"LeafUnderOtherRoot", no_change, {CA_127, CA_8, CA_7}, true, false},
    {"ChainLongerThanRule",
     [](specs_t& s) { s.push_back(pki::ca_spec(7, "Extra CA 7")); },
     {CA_127, CA_8, CA_7, CA_7 + 1},
     false,
     false},
};

// One root per suite: key generation is the slow part of every case.
class CertRootTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { root_ = new pki::issued_t(pki::self_signed(pki::root_spec())); }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }
    static std::vector<std::uint8_t> root_der() { return pki::to_der(root_->cert); }

    static pki::issued_t* root_;
};
pki::issued_t* CertRootTest::root_ = nullptr;

class ChainTest : public CertRootTest, public ::testing::WithParamInterface<chain_case_t> {};

TEST_P(ChainTest, VerifiesOnlyChainsThatFollowTheRule) {
    const auto& c = GetParam();
    auto profiles = partition_chain_specs();
    c.tweak(profiles);
    const auto anchor = c.other_root ? pki::self_signed(pki::root_spec()) : *root_;
    const auto chain = pki::issue_chain(anchor, profiles);
    const auto leaf = xtc::read_cert(pki::to_der(chain[LEAF].cert));

    const auto key = xtc::detail::get_cert_key_with_root(root_der(), xtc::XTC_CHAIN, leaf,
                                                         stack_of(chain, c.untrusted));

    EXPECT_EQ(key != nullptr, c.verifies);
    if (c.verifies) {
        EXPECT_TRUE(same_key(key, chain[LEAF].key));
    }
}

INSTANTIATE_TEST_SUITE_P(Cert, ChainTest, ::testing::ValuesIn(CHAIN_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CertRootTest, ChallengeChainFromDerBlobsGivesTheLeafRsaKey) {
    const auto chain = pki::mint_challenge_chain(*root_);
    const auto leaf = xtc::read_cert(pki::to_der(chain[0].cert));
    const auto intermediates = stack_of(chain, {1, 2});
    ASSERT_TRUE(leaf && intermediates);

    const auto key =
        xtc::detail::get_cert_key_with_root(root_der(), xtc::PEC_CHAIN, leaf, intermediates);
    ASSERT_TRUE(same_key(key, chain[0].key));
    EXPECT_TRUE(EVP_PKEY_is_a(key.get(), "RSA"));
    // A chain of four is no tunnel chain.
    EXPECT_FALSE(
        xtc::detail::get_cert_key_with_root(root_der(), xtc::XTC_CHAIN, leaf, intermediates));
}

TEST_F(CertRootTest, PartitionChainDoesNotPassTheChallengeRule) {
    const auto chain = pki::issue_chain(*root_, partition_chain_specs());
    const auto leaf = xtc::read_cert(pki::to_der(chain[LEAF].cert));
    EXPECT_FALSE(xtc::detail::get_cert_key_with_root(root_der(), xtc::PEC_CHAIN, leaf,
                                                     stack_of(chain, {CA_127, CA_8, CA_7})));
}

TEST_F(CertRootTest, MintedTlsServerCertificateFitsLoopback) {
    temp_dir_t dir;
    pki::mint_deployment(*root_, dir.path(), {{1001}, "acme-domain", 0});
    const auto server = pki::load_cert(dir.path() / "tls" / "server.pem");
    const auto ca = pki::load_cert(dir.path() / "tls" / "ca-bundle.pem");
    EXPECT_TRUE(same_key(xtc::pkey_handle(X509_get_pubkey(server.get()), EVP_PKEY_free),
                         pki::load_key(dir.path() / "tls" / "server.key")));
    EXPECT_EQ(X509_check_ip_asc(server.get(), "127.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_host(server.get(), "localhost", 0, 0, nullptr), 1);

    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                  X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(),
                                                                        X509_STORE_CTX_free);
    ASSERT_EQ(X509_STORE_add_cert(store.get(), ca.get()), 1);
    ASSERT_EQ(X509_STORE_CTX_init(ctx.get(), store.get(), server.get(), nullptr), 1);
    X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
    EXPECT_EQ(X509_verify_cert(ctx.get()), 1)
        << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
}

TEST_F(CertRootTest, DeploymentDeviationsReachTheWrittenFiles) {
    struct deviation_t {
        std::function<void(pki::deployment_options_t&)> apply;
        bool verifies;
    };
    const deviation_t deviations[] = {
        {[](auto& o) { o.ca_marking = false; }, true},
        {[](auto& o) { o.ca_validity = o.partition_validity = pki::EXPIRED; }, true},
        {[](auto& o) { o.partition_validity = pki::NOT_YET_VALID; }, false},
        {[](auto& o) {
             o.ca_codes = {8, 127, 7};
         },
         false},
        {[](auto& o) { o.partition_code = 32; }, false},
    };
    for (std::size_t i = 0; i < std::size(deviations); ++i) {
        temp_dir_t dir;
        pki::deployment_options_t options{{1001}, "acme-domain", 0};
        deviations[i].apply(options);
        pki::mint_deployment(*root_, dir.path(), options);
        const auto key = xtc::detail::get_cert_key_with_root(
            root_der(), xtc::XTC_CHAIN,
            xtc::read_cert((dir.path() / "partition-1001.pem").string()),
            xtc::read_certs((dir.path() / "ca.pem").string()));
        EXPECT_EQ(key != nullptr, deviations[i].verifies) << "deviation " << i;
    }
}

TEST_F(CertRootTest, EmptyRuleOrMissingInputsFail) {
    const auto chain = pki::issue_chain(*root_, partition_chain_specs());
    const auto leaf = xtc::read_cert(pki::to_der(chain[LEAF].cert));
    const auto intermediates = stack_of(chain, {CA_127, CA_8, CA_7});
    ASSERT_TRUE(
        xtc::detail::get_cert_key_with_root(root_der(), xtc::XTC_CHAIN, leaf, intermediates));

    EXPECT_FALSE(
        xtc::detail::get_cert_key_with_root(root_der(), xtc::chain_rule{}, leaf, intermediates));
    EXPECT_FALSE(
        xtc::detail::get_cert_key_with_root(root_der(), xtc::XTC_CHAIN, nullptr, intermediates));
    EXPECT_FALSE(xtc::detail::get_cert_key_with_root(root_der(), xtc::XTC_CHAIN, leaf, nullptr));
    EXPECT_FALSE(xtc::detail::get_cert_key_with_root({}, xtc::XTC_CHAIN, leaf, intermediates));
}

// A root shaped like the manufacturer's: RSA 4096 with exponent 3, SHA-1 signatures, a
// validity that started long ago, no CA marking of its own.
TEST(CertLegacyRoot, Sha1RsaExponent3RootAnchorsAChain) {
    auto root_spec = pki::root_spec();
    root_spec.key = {pki::key_spec_t::algorithm::rsa, "", 4096, 3};
    root_spec.digest = pki::digest_t::sha1;
    root_spec.validity = {-24 * pki::YEAR, 6 * pki::YEAR};
    root_spec.ca = false;
    const auto root = pki::self_signed(root_spec);

    auto profiles = partition_chain_specs();
    profiles[CA_7].digest = pki::digest_t::sha1;  // the only certificate the root signs
    const auto chain = pki::issue_chain(root, profiles);
    const auto key = xtc::detail::get_cert_key_with_root(
        pki::to_der(root.cert), xtc::XTC_CHAIN, xtc::read_cert(pki::to_der(chain[LEAF].cert)),
        stack_of(chain, {CA_127, CA_8, CA_7}));
    EXPECT_TRUE(same_key(key, chain[LEAF].key));
}

// --- identities ---------------------------------------------------------------------------

// A bare certificate whose subject holds one CN of the given ASN.1 string type; the name
// functions never look at signatures.
xtc::cert_handle cert_with_cn(const std::string& cn, int type = V_ASN1_UTF8STRING) {
    xtc::cert_handle cert(X509_new(), X509_free);
    const auto* bytes = reinterpret_cast<const unsigned char*>(cn.data());
    EXPECT_EQ(X509_NAME_add_entry_by_NID(X509_get_subject_name(cert.get()), NID_commonName, type,
                                         bytes, static_cast<int>(cn.size()), -1, 0),
              1);
    return cert;
}

struct partition_id_case_t {
    const char* name;
    std::string cn;
    std::optional<std::uint64_t> expected;
};

const partition_id_case_t PARTITION_ID_CASES[] = {
    {"Plain", "12345", 12345},
    {"LeadingZeros", "0012345", 12345},
    {"TrailingSpace", "12345 ", std::nullopt},
    {"Letters", "abc", std::nullopt},
    {"Empty", "", std::nullopt},
    {"TwentyOneDigitsCutToTwenty", "123456789012345678901", 12345678901234567890ULL},
    {"TwentyDigitsBeyond64Bits", "99999999999999999999", std::nullopt},
};

void PrintTo(const partition_id_case_t& c, std::ostream* os) {
    *os << c.name;
}

class PartitionIdTest : public ::testing::TestWithParam<partition_id_case_t> {};

TEST_P(PartitionIdTest, ComesFromTheCommonName) {
    EXPECT_EQ(xtc::get_partition_id(cert_with_cn(GetParam().cn)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cert, PartitionIdTest, ::testing::ValuesIn(PARTITION_ID_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CertIdentity, MissingCommonNameGivesNothing) {
    xtc::cert_handle bare(X509_new(), X509_free);
    EXPECT_FALSE(xtc::get_partition_id(bare));
    EXPECT_FALSE(xtc::get_domain_id(bare));
    EXPECT_FALSE(xtc::get_partition_id(nullptr));
    EXPECT_FALSE(xtc::get_domain_id(nullptr));
}

TEST(CertIdentity, DomainIdIsTheCommonNameInUtf8) {
    EXPECT_EQ(xtc::get_domain_id(cert_with_cn("ximora-dev-domain")), "ximora-dev-domain");
    EXPECT_EQ(xtc::get_domain_id(cert_with_cn("")), "");
    // "Dom\u00e4ne" as a BMPString: converted to UTF-8 for the domain, raw bytes for a serial.
    const std::string bmp("\0D\0o\0m\0\xe4\0n\0e", 12);
    EXPECT_EQ(xtc::get_domain_id(cert_with_cn(bmp, V_ASN1_BMPSTRING)), "Dom\xc3\xa4ne");
    EXPECT_FALSE(xtc::get_partition_id(cert_with_cn(std::string("\0"
                                                                "1\0"
                                                                "2",
                                                                4),
                                                    V_ASN1_BMPSTRING)));
}

// --- reading ------------------------------------------------------------------------------

class CertReadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        auto profile = pki::ca_spec(7, "first");
        first_ = pki::self_signed(profile).cert;
        profile.common_name = "second";
        second_ = pki::self_signed(profile).cert;
    }
    fs::path write(const std::string& name, const std::string& text) const {
        const auto path = dir_.path() / name;
        std::ofstream(path) << text;
        return path;
    }

    temp_dir_t dir_;
    pki::x509_ptr first_;
    pki::x509_ptr second_;
};

TEST_F(CertReadTest, PemFileWithTwoCertificatesAndTrailingText) {
    const auto path = write("ca.pem", "leading words\n" + pki::to_pem(first_) +
                                          pki::to_pem(second_) + "unrelated text\n");
    ERR_clear_error();
    const auto stack = xtc::read_certs(path.string());
    ASSERT_TRUE(stack);
    ASSERT_EQ(sk_X509_num(stack.get()), 2);
    EXPECT_EQ(ERR_peek_error(), 0UL) << "the end of the file is no error";
    EXPECT_EQ(X509_cmp(sk_X509_value(stack.get(), 0), first_.get()), 0);
    EXPECT_EQ(X509_cmp(sk_X509_value(stack.get(), 1), second_.get()), 0);

    const auto cert = xtc::read_cert(path.string());
    ASSERT_TRUE(cert);
    EXPECT_EQ(X509_cmp(cert.get(), first_.get()), 0);
}

TEST_F(CertReadTest, FileWithoutCertificatesOrMissing) {
    const auto empty = write("empty.pem", "no certificates here\n");
    const auto stack = xtc::read_certs(empty.string());
    ASSERT_TRUE(stack);
    EXPECT_EQ(sk_X509_num(stack.get()), 0);
    EXPECT_FALSE(xtc::read_cert(empty.string()));
    EXPECT_FALSE(xtc::read_certs((dir_.path() / "missing.pem").string()));
    EXPECT_FALSE(xtc::read_cert((dir_.path() / "missing.pem").string()));
}

TEST_F(CertReadTest, CorruptBlockEndsTheList) {
    std::string corrupt = pki::to_pem(second_);
    corrupt[corrupt.find('\n') + 10] ^= 0x01;  // inside the base64 body
    const auto path = write("ca.pem", pki::to_pem(first_) + corrupt + pki::to_pem(first_));
    const auto stack = xtc::read_certs(path.string());
    ASSERT_TRUE(stack);
    EXPECT_EQ(sk_X509_num(stack.get()), 1);
}

TEST_F(CertReadTest, DerList) {
    const auto good = pki::to_der(first_);
    auto trailing = good;
    trailing.push_back(0x00);  // bytes after one certificate are ignored
    ASSERT_TRUE(xtc::read_cert(trailing));
    EXPECT_FALSE(xtc::read_cert(std::vector<std::uint8_t>{}));

    const auto both = xtc::read_certs({good, pki::to_der(second_)});
    ASSERT_TRUE(both);
    EXPECT_EQ(sk_X509_num(both.get()), 2);
    EXPECT_FALSE(xtc::read_certs({good, std::vector<std::uint8_t>{0x30, 0x03, 0x02, 0x01}}));
    const auto none = xtc::read_certs(std::vector<std::vector<std::uint8_t>>{});
    ASSERT_TRUE(none);
    EXPECT_EQ(sk_X509_num(none.get()), 0);
}

// --- the compiled-in development root and ximora-pki's deployment layout -------------------

class DevRootTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef XIMORA_DEV_ROOT_DIR
        root_ = pki::load_root(XIMORA_DEV_ROOT_DIR);
#else
        GTEST_SKIP() << "built with a deployment trust root; its key is not here";
#endif
    }
    pki::issued_t root_;
};

TEST_F(DevRootTest, CompiledInRootIsTheDevelopmentRoot) {
    const auto der = pki::to_der(root_.cert);
    const auto built_in = xtc::built_in_root();
    EXPECT_TRUE(std::equal(der.begin(), der.end(), built_in.begin(), built_in.end()));
}

TEST_F(DevRootTest, MintedDeploymentVerifiesAgainstTheCompiledInRoot) {
    temp_dir_t dir;
    pki::mint_deployment(root_, dir.path(), {{1001, 1002}, "acme-domain", 0});
    const auto ca = (dir.path() / "ca.pem").string();

    const auto cas = xtc::read_certs(ca);
    ASSERT_TRUE(cas);
    ASSERT_EQ(sk_X509_num(cas.get()), 3);
    EXPECT_EQ(
        xtc::get_domain_id(xtc::cert_handle(X509_dup(sk_X509_value(cas.get(), 0)), X509_free)),
        "acme-domain");
    for (std::uint64_t serial : {1001, 1002}) {
        const auto base = dir.path() / ("partition-" + std::to_string(serial));
        const auto cert = xtc::read_cert(base.string() + ".pem");
        const auto key = xtc::get_cert_key(xtc::XTC_CHAIN, cert, cas);
        EXPECT_TRUE(same_key(key, pki::load_key(base.string() + ".key"))) << serial;
        EXPECT_EQ(xtc::get_partition_id(cert), serial);
    }

    auto read_der = [&](const char* name) {
        std::ifstream in(dir.path() / "pec-chain" / name, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    };
    const auto pec_key = xtc::get_cert_key(xtc::PEC_CHAIN, xtc::read_cert(read_der("leaf.der")),
                                           xtc::read_certs({read_der("8.der"), read_der("7.der")}));
    EXPECT_TRUE(same_key(pec_key, pki::load_key(dir.path() / "pec-chain" / "leaf.key")));
}

}  // namespace
