#include "service/engine.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <exception>

namespace service {
namespace {

constexpr std::string_view VHSM_TARGET = "/vHSM";
constexpr std::string_view BEARER_PREFIX = "Bearer ";
constexpr std::size_t MAX_SERIAL_DIGITS = 20;
constexpr unsigned DEFAULT_BUSY_STATUS = 503;

struct route_t {
    bool vhsm = false;
    bool valid = false;
    std::optional<std::uint64_t> serial;
};

// "/vHSM" or "/vHSM/<decimal serial>"; anything else under /vHSM is not a valid target.
route_t parse_target(std::string_view target) {
    route_t route;
    if (!target.starts_with(VHSM_TARGET)) {
        return route;
    }
    route.vhsm = true;
    auto rest = target.substr(VHSM_TARGET.size());
    if (rest.empty()) {
        route.valid = true;
        return route;
    }
    if (rest.front() != '/' || rest.size() < 2 || rest.size() > MAX_SERIAL_DIGITS + 1) {
        return route;
    }
    rest.remove_prefix(1);
    std::uint64_t serial = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), serial);
    if (error == std::errc() && end == rest.data() + rest.size()) {
        route.valid = true;
        route.serial = serial;
    }
    return route;
}

bool iequals(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

http_reply_t status_reply(unsigned status) {
    http_reply_t reply;
    reply.status = status;
    return reply;
}

http_reply_t body_reply(bytes body) {
    http_reply_t reply;
    reply.body = std::move(body);
    return reply;
}

http_reply_t stopped_reply(const fault_t& fault) {
    http_reply_t reply = status_reply(fault.http_status.value_or(DEFAULT_BUSY_STATUS));
    if (fault.retry_after) {
        reply.headers.emplace_back(RETRY_AFTER_HDR, *fault.retry_after);
    }
    if (fault.close_connection) {
        reply.delivery = http_reply_t::delivery_t::close_without_reply;
    }
    reply.delay = fault.delay;
    return reply;
}

// Faults that spoil a reply the client would otherwise accept.
void spoil(http_reply_t& reply, const std::optional<fault_t>& fault, std::size_t tag_offset,
           std::uint32_t reply_limit) {
    if (!fault) {
        return;
    }
    reply.delay = fault->delay;
    if (fault->tamper_tag && reply.body.size() > tag_offset) {
        reply.body[tag_offset] ^= 0x01;
    }
    if (fault->oversize_body) {
        reply.body.resize(std::max<std::size_t>(reply.body.size(), reply_limit) + 1, 0);
    }
    if (fault->truncate_body) {
        reply.delivery = http_reply_t::delivery_t::truncated;
    }
}

void keep_command(request_record_t& record, std::span<const std::uint8_t> body) {
    const auto command = body.subspan(std::min(body.size(), CMD_CODE));
    record.command_size = command.size();
    const auto kept = command.first(std::min(command.size(), COMMAND_BYTES_KEPT));
    record.command_bytes.assign(kept.begin(), kept.end());
}

}  // namespace

std::optional<std::string> find_header(const header_list_t& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (iequals(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

struct engine::exchange_t {
    http_request_t request;
    request_record_t record;
    std::optional<std::uint64_t> target_serial;
    std::uint32_t reply_limit = 0;
};

engine::engine(std::vector<partition_key_t> partitions, engine_options_t options, clock_fn clock)
    : options_(std::move(options)),
      clock_(clock ? std::move(clock) : clock_fn(system_seconds)),
      keys_([&] {
          std::map<std::uint64_t, crypto::pkey_ptr> keys;
          for (auto& partition : partitions) {
              keys.emplace(partition.serial, std::move(partition.key));
          }
          return keys;
      }()),
      hsm_(
          [&] {
              std::vector<std::uint64_t> serials;
              for (const auto& [serial, key] : keys_) {
                  serials.push_back(serial);
              }
              return serials;
          }(),
          options_.hsm, violations_, clock_),
      tunnels_(options_.tunnel_capacity),
      log_(options_.log_capacity) {}

http_reply_t engine::handle(http_request_t request) {
    exchange_t exchange;
    exchange.record.method = request.method;
    exchange.record.target = request.target;
    exchange.record.headers = request.headers;
    exchange.request = std::move(request);
    try {
        const auto route = parse_target(exchange.request.target);
        if (!route.vhsm) {
            if (extra_route_) {
                if (auto reply = extra_route_(exchange.request)) {
                    return finish(exchange, std::move(*reply));
                }
            }
            return finish(exchange, status_reply(404));
        }
        if (!route.valid) {
            return finish(exchange, status_reply(404));
        }
        exchange.target_serial = route.serial;
        return handle_vhsm(exchange);
    } catch (const wire_error&) {
        return finish(exchange, status_reply(400));
    } catch (const std::exception&) {
        return finish(exchange, status_reply(500));
    }
}

http_reply_t engine::handle_vhsm(exchange_t& exchange) {
    if (exchange.request.method != "POST") {
        return finish(exchange, status_reply(405));
    }
    if (exchange.target_serial && !keys_.contains(*exchange.target_serial)) {
        return finish(exchange, status_reply(404));
    }
    if (bearer_check_) {
        auto authorization = find_header(exchange.request.headers, AUTHORIZATION_HDR);
        if (!authorization || !authorization->starts_with(BEARER_PREFIX) ||
            !bearer_check_(std::string_view(*authorization).substr(BEARER_PREFIX.size()))) {
            auto reply = status_reply(401);
            reply.headers.emplace_back("WWW-Authenticate", "Bearer");
            return finish(exchange, std::move(reply));
        }
    }
    const auto& body = exchange.request.body;
    if (body.size() < REQ_LENGTH) {
        return finish(exchange, status_reply(400));
    }
    exchange.reply_limit = get_u32(body, PREFIX_REPLY_LIMIT);
    switch (get_u32(body, REQ_TYPE)) {
        case ORVA_XTC_OPEN_REQ_V1:
            return open_exchange(exchange);
        case ORVA_XTC_REQ_V1:
            return protected_exchange(exchange);
        default:
            return finish(exchange, status_reply(400));
    }
}

http_reply_t engine::open_exchange(exchange_t& exchange) {
    const auto& body = exchange.request.body;
    auto request = parse_open_request(body);
    if (!request) {
        return finish(exchange, status_reply(400));
    }
    exchange.record.command = ORVA_XTC_OPEN_REQ_V1;
    keep_command(exchange.record, body);
    exchange.record.partition = request->serial;
    auto fault = faults_.take(ORVA_XTC_OPEN_REQ_V1);
    if (fault && fault->stops_request()) {
        return finish(exchange, stopped_reply(*fault));
    }
    if (exchange.reply_limit < OPEN_RSP_SIZE) {
        return finish(exchange, status_reply(400));
    }
    const EVP_PKEY* key = partition_key(request->serial);
    if (key == nullptr || (exchange.target_serial && *exchange.target_serial != request->serial)) {
        return finish(exchange, body_reply(open_refusal(ORVA_RET_XTC_ERROR)));
    }
    if (!expiry_acceptable(request->expiry)) {
        ++violations_.expired_requests;
        return finish(exchange, body_reply(open_refusal(ORVA_RET_XTC_ERROR)));
    }
    token_t token;
    crypto::secret_t<TUNNEL_KEY_SIZE> tunnel_key;
    std::array<std::uint8_t, GCM_IV_SIZE> iv;
    http_reply_t reply = body_reply(bytes(OPEN_RSP_SIZE, 0));
    if (!crypto::random_bytes(token) || !crypto::random_bytes(tunnel_key.bytes) ||
        !crypto::random_bytes(iv) ||
        !build_open_response(key, *request, token, tunnel_key.span(), iv,
                             std::span(reply.body).first<OPEN_RSP_SIZE>())) {
        return finish(exchange, body_reply(open_refusal(ORVA_RET_XTC_ERROR)));
    }
    tunnels_.add(request->serial, token, tunnel_key.span());
    if (fault && fault->tunnel_status) {
        put_u32(reply.body, OPEN_RSP_STATUS, *fault->tunnel_status);
    }
    auto* partition = hsm_.partition(request->serial);
    {
        std::lock_guard lock(partition->mutex());
        reply.headers.emplace_back(PARTITION_VERSION_HDR, std::to_string(partition->version()));
    }
    spoil(reply, fault, OPEN_RSP_TAG, exchange.reply_limit);
    return finish(exchange, std::move(reply));
}

http_reply_t engine::protected_exchange(exchange_t& exchange) {
    auto& body = exchange.request.body;
    if (!is_protected_request(body)) {
        return finish(exchange, status_reply(400));
    }
    auto tunnel = tunnels_.find(get_bytes(body, REQ_TOKEN, TOKEN_SIZE));
    if (!tunnel || (exchange.target_serial && *exchange.target_serial != tunnel->serial)) {
        ++violations_.unknown_tokens;
        return finish(exchange, body_reply(tunnel_refusal(ORVA_RET_XTC_ERROR)));
    }
    exchange.record.partition = tunnel->serial;
    if (!unseal_request(tunnel->key.span(), body)) {
        ++violations_.tag_failures;
        return finish(exchange, body_reply(tunnel_refusal(ORVA_RET_XTC_ERROR)));
    }
    const auto sequence = get_u64(body, REQ_SEQUENCE);
    exchange.record.sequence = sequence;
    keep_command(exchange.record, body);
    if (body.size() >= CMD_LEVEL) {
        exchange.record.command = get_u32(body, CMD_CODE);
    }
    if (!expiry_acceptable(get_u64(body, REQ_EXPIRY))) {
        ++violations_.expired_requests;
        return finish(exchange, body_reply(tunnel_refusal(ORVA_RET_XTC_ERROR)));
    }
    auto fault = faults_.take(exchange.record.command);
    if (fault && fault->stops_request()) {
        return finish(exchange, stopped_reply(*fault));
    }
    bool fresh = false;
    {
        std::lock_guard lock(tunnel->mutex);
        fresh = tunnel->window.accept(sequence);
    }
    if (!fresh) {
        ++violations_.sequence_reuses;
        return finish(exchange, body_reply(tunnel_refusal(ORVA_RET_XTC_ERROR)));
    }
    return run_command(exchange, tunnel, fault);
}

http_reply_t engine::run_command(exchange_t& exchange, const tunnel_ptr& tunnel,
                                 const std::optional<fault_t>& fault) {
    auto& partition = *hsm_.partition(tunnel->serial);
    auto outcome =
        hsm_.execute(partition, exchange.request.body, fault ? fault->hsm_result : std::nullopt);
    http_reply_t reply;
    reply.headers.emplace_back(PARTITION_VERSION_HDR, std::to_string(outcome.partition_version));
    if (outcome.app_sessions_version) {
        // The client's own name for its application id is kept when it sent one.
        auto sent = find_header(exchange.request.headers, APP_SESSIONS_VERSION_HDR);
        std::string name = sent ? sent->substr(0, sent->find(':')) : std::string();
        if (name.empty()) {
            name = to_hex(get_bytes(exchange.request.body, CMD_APP_ID, APP_ID_SIZE));
        }
        reply.headers.emplace_back(APP_SESSIONS_VERSION_HDR,
                                   name + ":" + std::to_string(*outcome.app_sessions_version));
    }
    if (outcome.empty_reply && outcome.result == ORVA_RET_OK) {
        exchange.record.result = outcome.result;
        spoil(reply, fault, RSP_TAG, exchange.reply_limit);
        return finish(exchange, std::move(reply));
    }
    if (exchange.reply_limit < protected_reply_size(0)) {
        return finish(exchange, status_reply(400));
    }
    if (protected_reply_size(outcome.body.size()) > exchange.reply_limit) {
        outcome.result = ORVA_RET_BUFFER_TOO_SMALL;
        outcome.body.clear();
    }
    exchange.record.result = outcome.result;
    std::array<std::uint8_t, GCM_IV_SIZE> iv;
    if (!crypto::random_bytes(iv)) {
        return finish(exchange, body_reply(tunnel_refusal(ORVA_RET_XTC_ERROR)));
    }
    const auto echoed =
        exchange.record.sequence.value_or(0) + (fault && fault->wrong_sequence ? 1 : 0);
    reply.body = seal_reply(tunnel->key.span(), iv, echoed, outcome.result, outcome.body,
                            fault ? fault->tunnel_status.value_or(0) : 0);
    spoil(reply, fault, RSP_TAG, exchange.reply_limit);
    return finish(exchange, std::move(reply));
}

bool engine::expiry_acceptable(std::uint64_t expiry) const {
    const std::int64_t now = clock_();
    if (now < 0) {
        return false;
    }
    const auto current = static_cast<std::uint64_t>(now);
    return expiry >= current &&
           expiry - current <= static_cast<std::uint64_t>(options_.max_request_lifetime_seconds);
}

const EVP_PKEY* engine::partition_key(std::uint64_t serial) const {
    auto it = keys_.find(serial);
    return it == keys_.end() ? nullptr : it->second.get();
}

http_reply_t engine::finish(exchange_t& exchange, http_reply_t reply) {
    exchange.record.status =
        reply.delivery == http_reply_t::delivery_t::close_without_reply ? 0 : reply.status;
    log_.append(std::move(exchange.record));
    return reply;
}

}  // namespace service
