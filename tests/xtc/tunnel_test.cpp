// The tunnel registry and the primitives under it: the KDF against the independent vectors,
// the GCM failure codes, container numbering, tunnel copies and their shared counter.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "config/codes.h"
#include "config/wire.h"
#include "tests/xtc/xtc_test_support.h"
#include "xtc/crypto.h"
#include "xtc/envelope.h"

namespace {

using xtc_test::bytes;
using xtc_test::hex_at;

class KdfVector : public ::testing::TestWithParam<std::size_t> {
  protected:
    const nlohmann::json& vector() const { return xtc_test::vectors().at("kdf").at(GetParam()); }
};

TEST_P(KdfVector, HashesExactlyTheConcatenatedFields) {
    const bytes z = hex_at(vector(), "z");
    const bytes nonce = hex_at(vector(), "nonce");
    const auto serial = vector().at("serial").get<std::uint64_t>();
    bytes input;
    const auto collect = [&input](std::span<const std::uint8_t> piece) {
        input.insert(input.end(), piece.begin(), piece.end());
        return true;
    };
    bytes key(xtc::XTC_KEY_SIZE);

    ASSERT_TRUE(
        xtc::xtc_kdf_input(z.data(), z.size(), nonce.data(), nonce.size(), serial, collect));
    ASSERT_EQ(xtc::xtc_kdf(z.data(), z.size(), nonce.data(), nonce.size(), serial, key.data()), 32);

    EXPECT_EQ(input.size(), vector().at("input_length").get<std::size_t>());
    EXPECT_EQ(input, hex_at(vector(), "input"));
    EXPECT_EQ(key, hex_at(vector(), "key"));
}

INSTANTIATE_TEST_SUITE_P(AllCases, KdfVector, ::testing::Values(0, 1, 2));

TEST(Kdf, ReportsFailureAsANegativeNumber) {
    const bytes z(48);
    EXPECT_LT(xtc::xtc_kdf(z.data(), z.size(), z.data(), 16, 1, nullptr), 0);
    bytes key(32);
    EXPECT_LT(xtc::xtc_kdf(nullptr, 48, z.data(), 16, 1, key.data()), 0);
}

// Inputs of one GCM call; each case breaks one of them.
struct gcm_call_t {
    bytes key = bytes(32, 1);
    bytes iv = bytes(16, 2);
    bytes aad = bytes(7, 3);
    bytes text = bytes(40, 4);
    bytes tag = bytes(16, 0);
    int length = 40;
    int aad_length = 7;
    bool null_key = false;
    bool null_tag = false;
};

int decrypt(gcm_call_t& call) {
    return xtc::decrypt_gcm(call.text.data(), call.length, call.aad.data(), call.aad_length,
                            call.null_key ? nullptr : call.key.data(), call.iv.data(),
                            call.text.data(), call.null_tag ? nullptr : call.tag.data());
}

struct gcm_case_t {
    std::string name;
    void (*breaks)(gcm_call_t&);
    int expected;
};

class DecryptGcm : public ::testing::TestWithParam<gcm_case_t> {};

TEST_P(DecryptGcm, ReturnsTheCodeOfTheStepThatFailed) {
    gcm_call_t call;
    ASSERT_EQ(xtc::encrypt_gcm(call.text.data(), call.length, call.aad.data(), call.aad_length,
                               call.key.data(), call.iv.data(), call.text.data(), call.tag.data()),
              call.length);
    GetParam().breaks(call);
    EXPECT_EQ(decrypt(call), GetParam().expected);
}

const gcm_case_t GCM_CASES[] = {
    {"Intact", [](gcm_call_t&) {}, 40},
    {"NullKey", [](gcm_call_t& c) { c.null_key = true; }, xtc::GCM_KEY_IV_REJECTED},
    {"NegativeAadLength", [](gcm_call_t& c) { c.aad_length = -1; }, xtc::GCM_AAD_REJECTED},
    {"NegativeLength", [](gcm_call_t& c) { c.length = -1; }, xtc::GCM_UPDATE_FAILED},
    {"NullTag", [](gcm_call_t& c) { c.null_tag = true; }, xtc::GCM_TAG_REJECTED},
    {"TagChanged", [](gcm_call_t& c) { c.tag[0] ^= 1; }, xtc::GCM_FINAL_FAILED},
    {"AadChanged", [](gcm_call_t& c) { c.aad[6] ^= 1; }, xtc::GCM_FINAL_FAILED},
    {"AadLeftOut", [](gcm_call_t& c) { c.aad_length = 0; }, xtc::GCM_FINAL_FAILED},
    {"CiphertextChanged", [](gcm_call_t& c) { c.text[39] ^= 1; }, xtc::GCM_FINAL_FAILED},
    // Only the first 12 bytes of the IV would count if its length were not set to 16.
    {"LastIvByteChanged", [](gcm_call_t& c) { c.iv[15] ^= 1; }, xtc::GCM_FINAL_FAILED},
    {"OtherKey", [](gcm_call_t& c) { c.key[31] ^= 1; }, xtc::GCM_FINAL_FAILED},
};

INSTANTIATE_TEST_SUITE_P(Cases, DecryptGcm, ::testing::ValuesIn(GCM_CASES),
                         [](const auto& info) { return info.param.name; });

// Three partitions registered out of order; their keys do not matter here.
xtc::state_handle three_partitions(std::uint64_t timeout = 60) {
    const auto key = xtc::create_ec_key(xtc::XTC_CURVE);
    return xtc::make_state(timeout, {{30, key}, {10, key}, {20, key}});
}

TEST(Registry, ContainersAreNumberedFromOneMillionInSerialOrder) {
    const auto state = three_partitions();
    ASSERT_TRUE(state);
    EXPECT_EQ(xtc::containerList(*state), (std::vector<std::uint32_t>{1000000, 1000001, 1000002}));
    EXPECT_EQ(xtc::serialNumberList(*state), (std::vector<std::uint64_t>{10, 20, 30}));
    EXPECT_TRUE(xtc::is_enabled(*state));
}

struct container_case_t {
    std::uint32_t container;
    std::uint64_t serial;
};

class ContainerToSerial : public ::testing::TestWithParam<container_case_t> {};

TEST_P(ContainerToSerial, MapsIdentifiersToPartitions) {
    const auto state = three_partitions();
    EXPECT_EQ(xtc::containerToSerialNumber(*state, GetParam().container), GetParam().serial);
}

INSTANTIATE_TEST_SUITE_P(Cases, ContainerToSerial,
                         ::testing::Values(container_case_t{1000000, 10},
                                           container_case_t{1000002, 30},
                                           container_case_t{0, 10},           // the first entry
                                           container_case_t{0xFFFFFFFF, 10},  // the first entry
                                           container_case_t{999999, 0},
                                           container_case_t{1000003, 0}, container_case_t{1, 0}));

TEST(Registry, SerialNumberToContainerIsTheInverse) {
    const auto state = three_partitions();
    for (const auto container : xtc::containerList(*state)) {
        EXPECT_EQ(
            xtc::serialNumberToContainer(*state, xtc::containerToSerialNumber(*state, container)),
            container);
    }
    EXPECT_EQ(xtc::serialNumberToContainer(*state, 40), 0u);
}

TEST(Registry, WithoutPartitionsTheFirstEntryIsNothing) {
    const auto state = xtc::make_state(60, {});
    EXPECT_EQ(xtc::containerToSerialNumber(*state, 0), 0u);
    EXPECT_EQ(xtc::containerToSerialNumber(*state, 0xFFFFFFFF), 0u);
    EXPECT_TRUE(xtc::containerList(*state).empty());
}

TEST(Registry, ADisabledStateNamesNoPartition) {
    const auto state = three_partitions();
    state->enabled = false;
    EXPECT_EQ(xtc::containerToSerialNumber(*state, 1000000), 0u);
    EXPECT_EQ(xtc::containerToSerialNumber(*state, 0), 0u);
    EXPECT_EQ(xtc::serialNumberToContainer(*state, 10), 0u);
    EXPECT_EQ(xtc::create_tunnel(*state)->state, xtc::TUNNEL_DISABLED);
}

TEST(Registry, FreshTunnelsAreNotOpenAndCarryTheTimeout) {
    const auto state = three_partitions(45);
    for (const auto serial : xtc::serialNumberList(*state)) {
        const auto tunnel = xtc::get_tunnel_copy(*state, serial);
        ASSERT_TRUE(tunnel);
        EXPECT_EQ(tunnel->serial, serial);
        EXPECT_EQ(tunnel->state, xtc::TUNNEL_NOT_OPEN);
        EXPECT_EQ(tunnel->timeout, 45u);
        EXPECT_EQ(tunnel->counter->load(), 0u);
    }
    EXPECT_EQ(xtc::get_tunnel_copy(*state, 0)->serial, 10u) << "default is the first partition";
    EXPECT_FALSE(xtc::get_tunnel_copy(*state, 40));
}

TEST(Registry, CopiesShareTheCounterButNotTheLastSequence) {
    const auto state = three_partitions();
    const auto a = xtc::get_tunnel_copy(*state, 20);
    const auto b = xtc::get_tunnel_copy(*state, 20);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->counter, b->counter);
    a->last_sequence = 5;
    EXPECT_EQ(b->last_sequence, 0u);
}

// Opens a copy of `serial` with a recognisable key and installs it.
xtc::tunnel_handle open_and_install(xtc::state_t& state, std::uint64_t serial, std::uint8_t fill) {
    auto tunnel = xtc::get_tunnel_copy(state, serial);
    std::array<std::uint8_t, xtc::TOKEN_SIZE> token;
    std::array<std::uint8_t, xtc::KEY_SIZE> key;
    token.fill(fill);
    key.fill(fill);
    EXPECT_EQ(xtc::tunnel_connect(*tunnel, token, key), 0u);
    EXPECT_TRUE(xtc::update_tunnel(state, *tunnel));
    return tunnel;
}

TEST(Registry, TunnelConnectStartsAFreshCounter) {
    const auto state = three_partitions();
    auto tunnel = xtc::get_tunnel_copy(*state, 20);
    const auto old_counter = tunnel->counter;
    tunnel->last_sequence = 9;
    const auto opened = open_and_install(*state, 20, 0xAB);
    EXPECT_EQ(opened->state, xtc::TUNNEL_OPEN);
    EXPECT_NE(opened->counter, old_counter);
    EXPECT_EQ(opened->counter->load(), 0u);
    EXPECT_EQ(opened->last_sequence, 0u);
    EXPECT_EQ(opened->key[31], 0xAB);
    EXPECT_EQ(opened->token[63], 0xAB);
}

TEST(Registry, UpdateInstallsTheOpenedTunnelAndItsCounter) {
    const auto state = three_partitions();
    const auto opened = open_and_install(*state, 20, 0x20);
    const auto copy = xtc::get_tunnel_copy(*state, 20);
    EXPECT_EQ(copy->state, xtc::TUNNEL_OPEN);
    EXPECT_EQ(copy->key, opened->key);
    EXPECT_EQ(copy->counter, opened->counter);
    EXPECT_EQ(xtc::get_tunnel_copy(*state, 0)->state, xtc::TUNNEL_NOT_OPEN)
        << "partition 20 is not the default";
    EXPECT_EQ(xtc::get_tunnel_copy(*state, 30)->state, xtc::TUNNEL_NOT_OPEN);
}

TEST(Registry, UpdateReplacesTheDefaultTunnelOfTheSamePartition) {
    const auto state = three_partitions();
    open_and_install(*state, 10, 0x10);
    const auto fallback = xtc::get_tunnel_copy(*state, 0);
    EXPECT_EQ(fallback->serial, 10u);
    EXPECT_EQ(fallback->state, xtc::TUNNEL_OPEN);
    EXPECT_EQ(fallback->key[0], 0x10);
}

TEST(Registry, ResetStatesClosesEveryTunnel) {
    const auto state = three_partitions();
    open_and_install(*state, 10, 0x10);
    open_and_install(*state, 30, 0x30);
    ASSERT_TRUE(xtc::reset_states(*state));
    for (const std::uint64_t serial : {0, 10, 20, 30}) {
        const auto tunnel = xtc::get_tunnel_copy(*state, serial);
        EXPECT_EQ(tunnel->state, xtc::TUNNEL_NOT_OPEN) << serial;
        EXPECT_EQ(tunnel->key, (std::array<std::uint8_t, xtc::KEY_SIZE>{})) << serial;
    }
}

TEST(Registry, ConcurrentCommandsNeverShareASequenceNumber) {
    const auto state = three_partitions();
    open_and_install(*state, 30, 0x30);
    constexpr int THREADS = 4;
    constexpr int REQUESTS = 200;
    std::vector<std::vector<std::uint64_t>> used(THREADS);
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; ++t) {
        workers.emplace_back([&state, &used, t] {
            for (int i = 0; i < REQUESTS; ++i) {
                auto tunnel = xtc::get_tunnel_copy(*state, 30);
                bytes request(xtc::req_v1::COMMAND);
                if (tunnel && xtc::wrap(request, tunnel)) {
                    used[t].push_back(tunnel->last_sequence);
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    std::set<std::uint64_t> all;
    for (const auto& sequences : used) {
        all.insert(sequences.begin(), sequences.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(THREADS * REQUESTS));
    EXPECT_EQ(*all.rbegin(), static_cast<std::uint64_t>(THREADS * REQUESTS - 1));
}

TEST(RwLock, AWaitingWriterKeepsNewReadersOut) {
    // With a reader-preferring lock new readers always get in and this never sees a refusal.
    xtc::rw_lock lock;
    lock.lock_shared();
    std::atomic<bool> written{false};
    std::thread writer([&] {
        lock.lock();
        written = true;
        lock.unlock();
    });
    bool reader_refused = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!reader_refused && std::chrono::steady_clock::now() < deadline) {
        if (lock.try_lock_shared()) {
            lock.unlock_shared();
            std::this_thread::yield();
        } else {
            reader_refused = true;
        }
    }
    EXPECT_FALSE(written);
    lock.unlock_shared();
    writer.join();
    EXPECT_TRUE(reader_refused);
    EXPECT_TRUE(written);
}

}  // namespace
