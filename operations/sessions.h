#pragma once
// Sessions, login and access: the slots that open and close HSM sessions, log users in and
// out, and keep the plug-in's session bookkeeping in step with what the HSM confirmed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plugin/host_types.h"

/// The record get_session_info zeroes: three 32-bit words.
struct api_session_info {
    std::uint32_t words[3];
};

/// Slot 57. Opens a session on the container's partition and registers it.
std::uint32_t open_session(void* host, std::uint32_t flags, std::uint32_t container,
                           std::uint32_t* session_out, std::uint64_t unused);
/// Slot 58. Closes a session and forgets it with every saved context.
std::uint32_t close_session(void* host, std::uint32_t session);
/// Slot 59. Closes every session of this application on the container's partition and forgets
/// them with their saved contexts; sessions on other partitions stay.
std::uint32_t close_all_sessions(void* host, std::uint32_t container, void* unused);
/// Slot 60.
std::uint32_t clean_access(void* host, std::uint32_t container);
/// Slot 8.
std::uint32_t close_application_id(void* host, std::uint32_t unused, std::uint32_t container);
/// Slot 61. login_exec with the secret mode.
std::uint32_t login(void* host, std::uint32_t session, std::uint32_t container, std::uint32_t user,
                    const api_memory_block* secret, std::uint32_t auxiliary, bool extra_flag);
/// Slot 62. Challenge, encryption of challenge and secret under the partition's challenge
/// key, login.
std::uint32_t login_exec(void* host, std::uint32_t session, std::uint32_t container,
                         std::uint32_t user, const api_memory_block* secret, std::uint32_t mode,
                         bool extra_flag);
/// Slot 63.
std::uint32_t logout(void* host, std::uint32_t session);
/// Slot 21. Outputs are written only on success, each only when given.
std::uint32_t get_session_info(void* host, std::uint32_t session, api_session_info* info_out,
                               std::uint32_t* container_out, std::uint32_t* word1_out,
                               std::uint32_t* word2_out, std::uint32_t* word3_out);
/// Slot 122. `challenge->length` becomes the challenge's length; at most the capacity passed
/// in is copied to `challenge->data` (when given).
std::uint32_t request_challenge(void* host, std::uint32_t session, std::uint32_t container,
                                std::uint32_t type, std::uint32_t* first_out,
                                api_memory_block* challenge);

/// The challenge buffer of login and of the PIN, partition and key-check-value operations.
inline constexpr std::size_t CHALLENGE_CAPACITY = 64;
/// Challenge and secret together, as they are encrypted.
inline constexpr std::size_t MAX_CHALLENGE_PLAINTEXT = 512;

struct challenge_t {
    std::uint32_t first_word = 0;
    std::uint32_t length = 0;
    std::array<std::uint8_t, CHALLENGE_CAPACITY> bytes{};
    std::span<const std::uint8_t> view() const { return {bytes.data(), length}; }
};

/// A challenge for the session (request_challenge of type 0 into a CHALLENGE_CAPACITY
/// buffer). A challenge longer than the buffer is refused with RC_CHALLENGE_BUFFER_SIZE: the
/// HSM checks the whole challenge it issued, so a cut one could only fail there.
std::uint32_t obtain_challenge(std::uint32_t session, std::uint32_t container, challenge_t& out);

/// Fetches the partition's challenge certificates (ORVA_GET_PEC), verifies them and encrypts
/// the challenge followed by the secret with RSA-OAEP (SHA-512, MGF1 SHA-512) under the
/// leaf's key into `out`.
std::uint32_t do_challenge_response(std::span<const std::uint8_t> challenge,
                                    const api_memory_block* secret, std::vector<std::uint8_t>& out,
                                    std::uint64_t partition, std::uint32_t session);
