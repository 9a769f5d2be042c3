// The registry of partitions and tunnels.

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <utility>

#include "config/XmConfiguration.h"
#include "config/codes.h"
#include "xtc/xtc.h"

namespace xtc {

namespace {

// Every tunnel, registry tunnel or copy, holds the key and token; neither may outlive it in
// freed memory.
void release_tunnel(tunnel_t* tunnel) noexcept {
    cleanse(tunnel->key);
    cleanse(tunnel->token);
    delete tunnel;
}

tunnel_handle new_tunnel(const tunnel_t& fields) {
    return tunnel_handle(new tunnel_t(fields), release_tunnel);
}

// The partition with the lowest container identifier counts as the first one.
const std::pair<const std::uint32_t, std::uint64_t>* first_container(const state_t& state) {
    const auto lowest = std::min_element(state.containers.begin(), state.containers.end());
    return lowest == state.containers.end() ? nullptr : &*lowest;
}

// Verifies every configured partition certificate against the CA file; the first key of a
// serial number wins. False after a message naming the certificate that failed.
bool verify_partitions(const std::string& ca_path, const std::vector<std::string>& cert_paths,
                       std::unordered_map<std::uint64_t, pkey_handle>& keys) {
    const auto intermediates = read_certs(ca_path);
    for (const auto& path : cert_paths) {
        const auto cert = read_cert(path);
        auto key = get_cert_key(XTC_CHAIN, cert, intermediates);
        if (!key) {
            std::fprintf(stderr, "Failed to verify (cert=%s) (ca=%s)\n", path.c_str(),
                         ca_path.c_str());
            return false;
        }
        const auto serial = get_partition_id(cert);
        if (!serial) {
            std::fprintf(stderr, "Failed to extract partition serial number (cert=%s) (ca=%s)\n",
                         path.c_str(), ca_path.c_str());
            return false;
        }
        keys.emplace(*serial, std::move(key));
    }
    return true;
}

constexpr std::int64_t MIN_TIMEOUT_SEC = 1;
constexpr std::int64_t MAX_TIMEOUT_SEC = 600;

}  // namespace

state_handle init() try {
    const XmConfiguration config;
    std::unordered_map<std::uint64_t, pkey_handle> keys;
    if (!verify_partitions(config.GetXtcPartitionCAPath(), config.GetXtcPartitionCertPaths(),
                           keys)) {
        std::fputs(
            "Zarv configuration error. Unable to locate partition. Please check XTC "
            "certificate entries in the configuration file\n",
            stderr);
        return {};
    }
    const std::int64_t timeout = config.GetXtcTimeout();
    if (timeout < MIN_TIMEOUT_SEC || timeout > MAX_TIMEOUT_SEC) {
        std::fputs("Zarv configuration error. Invalid XTC timeout.\n", stderr);
        return {};
    }
    return make_state(static_cast<std::uint64_t>(timeout), std::move(keys));
} catch (...) {
    return {};
}

state_handle make_state(std::uint64_t timeout,
                        std::unordered_map<std::uint64_t, pkey_handle> partition_keys) try {
    state_handle state(new state_t, destroy);
    state->enabled = true;
    state->timeout = timeout;
    state->partition_keys = std::move(partition_keys);

    // Numbering in ascending serial order keeps the identifiers stable across restarts.
    std::vector<std::uint64_t> serials;
    serials.reserve(state->partition_keys.size());
    for (const auto& entry : state->partition_keys) {
        serials.push_back(entry.first);
    }
    std::sort(serials.begin(), serials.end());
    std::uint32_t container = FIRST_CONTAINER;
    for (const auto serial : serials) {
        state->containers.emplace(container++, serial);
    }
    if (!reset_states(*state)) {
        return {};
    }
    return state;
} catch (...) {
    return {};
}

void destroy(state_t* state) noexcept {
    if (state == nullptr) {
        return;
    }
    {
        std::unique_lock guard(state->lock);
        state->tunnels.clear();
        state->default_tunnel.reset();
    }
    delete state;
}

bool reset_states(state_t& state) noexcept try {
    // Build outside the lock; only the swap needs commands to wait.
    std::unordered_map<std::uint64_t, tunnel_handle> tunnels;
    tunnel_handle first;
    for (const auto serial : serialNumberList(state)) {
        auto tunnel = create_tunnel(state);
        if (!tunnel) {
            return false;
        }
        tunnel->serial = serial;
        if (!first) {
            first = tunnel;
        }
        tunnels.emplace(serial, std::move(tunnel));
    }
    if (!first) {
        first = create_tunnel(state);  // placeholder of a state without partitions
        if (!first) {
            return false;
        }
    }
    std::unique_lock guard(state.lock);
    state.tunnels.swap(tunnels);
    state.default_tunnel.swap(first);
    return true;
} catch (...) {
    return false;
}

bool is_enabled(const state_t& state) {
    return state.enabled;
}

std::vector<std::uint32_t> containerList(const state_t& state) {
    std::vector<std::uint32_t> containers;
    containers.reserve(state.containers.size());
    for (const auto& entry : state.containers) {
        containers.push_back(entry.first);
    }
    std::sort(containers.begin(), containers.end());
    return containers;
}

std::vector<std::uint64_t> serialNumberList(const state_t& state) {
    std::vector<std::uint64_t> serials;
    for (const auto container : containerList(state)) {
        serials.push_back(state.containers.at(container));
    }
    return serials;
}

std::uint64_t containerToSerialNumber(const state_t& state, std::uint32_t container) {
    if (!state.enabled) {
        return 0;
    }
    if (container == ANY_CONTAINER_LOW || container == ANY_CONTAINER_HIGH) {
        const auto* first = first_container(state);
        return first == nullptr ? 0 : first->second;
    }
    const auto found = state.containers.find(container);
    return found == state.containers.end() ? 0 : found->second;
}

std::uint32_t serialNumberToContainer(const state_t& state, std::uint64_t serial) {
    if (!state.enabled) {
        return 0;
    }
    for (const auto& [container, partition] : state.containers) {
        if (partition == serial) {
            return container;
        }
    }
    return 0;
}

pkey_handle get_pub_key(const state_t& state, std::uint64_t serial) {
    const auto found = state.partition_keys.find(serial);
    return found == state.partition_keys.end() ? pkey_handle() : found->second;
}

tunnel_handle get_tunnel_copy(const state_t& state, std::uint64_t serial) noexcept try {
    std::shared_lock guard(state.lock);
    if (serial == 0) {
        return state.default_tunnel ? new_tunnel(*state.default_tunnel) : tunnel_handle();
    }
    const auto found = state.tunnels.find(serial);
    if (found == state.tunnels.end() || !found->second) {
        return {};
    }
    return new_tunnel(*found->second);
} catch (...) {
    return {};
}

tunnel_handle create_tunnel(const state_t& state) noexcept try {
    tunnel_t fields;
    fields.state = state.enabled ? TUNNEL_NOT_OPEN : TUNNEL_DISABLED;
    fields.counter = std::make_shared<std::atomic<std::uint64_t>>(0);
    fields.timeout = state.timeout;
    return new_tunnel(fields);
} catch (...) {
    return {};
}

std::uint32_t tunnel_connect(tunnel_t& tunnel, std::span<const std::uint8_t, TOKEN_SIZE> token,
                             std::span<const std::uint8_t, KEY_SIZE> key) noexcept try {
    auto counter = std::make_shared<std::atomic<std::uint64_t>>(0);
    tunnel.state = TUNNEL_OPEN;
    tunnel.counter = std::move(counter);
    tunnel.last_sequence = 0;
    std::copy(token.begin(), token.end(), tunnel.token.begin());
    std::copy(key.begin(), key.end(), tunnel.key.begin());
    return 0;
} catch (...) {
    return ORVA_RET_XTC_ERROR;
}

bool update_tunnel(state_t& state, const tunnel_t& tunnel) noexcept try {
    auto installed = create_tunnel(state);
    if (!installed) {
        return false;
    }
    *installed = tunnel;  // the counter handle is shared, not copied
    std::unique_lock guard(state.lock);
    // Assigning in place cannot lose the old entry if the insertion runs out of memory.
    state.tunnels.insert_or_assign(tunnel.serial, installed);
    if (state.default_tunnel && state.default_tunnel->serial == tunnel.serial) {
        state.default_tunnel = std::move(installed);
    }
    return true;
} catch (...) {
    return false;
}

}  // namespace xtc
