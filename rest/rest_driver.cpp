#include "rest/rest_driver.h"

// Boost 1.74's Beast and Asio headers want <ostream> first.
#include <ostream>

#include <openssl/rand.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "config/SimpleLogger.h"
#include "config/XmConfiguration.h"
#include "config/codes.h"
#include "health/Keepalive.h"
#include "rest/AuthTokenRetriever.h"
#include "rest/HttpClientManager.h"
#include "rest/HttpRequest.h"
#include "rest/HttpResponse.h"
#include "rest/HttpUtils.h"
#include "rest/HttpsClient.h"
#include "rest/plugin_state_source.h"
#include "rest/rest_headers.h"
#include "xtc/cert.h"
#include "xtc/xtc.h"

namespace {

constexpr int HTTP_OK = 200;
constexpr int HTTP_UNAUTHORIZED = 401;
constexpr int HTTP_NOT_FOUND = 404;
constexpr int HTTP_TIMEOUT = 408;
constexpr int HTTP_TOO_MANY = 429;
constexpr int HTTP_UNAVAILABLE = 503;
constexpr std::chrono::milliseconds BUSY_PAUSE{200};
constexpr int OPERATION_CANCELED = ECANCELED;  // a deadline of the client expired

// Process-wide transport state; each initialisation replaces or resets it.
std::mutex s_state_mutex;  // guards the replacement of s_client_manager against readers
std::shared_ptr<HttpClientManager<HttpsClient>> s_client_manager;
salt_t s_aid_salt{};
std::string s_xm_app_specific_data;
std::atomic<std::int32_t> s_client_eof_retry_cnt{0};
partition_versions s_partition_versions;

HttpResponse exchange_on_new_client(const std::string& host, std::uint16_t port,
                                    std::int32_t read_timeout_sec, const HttpRequest& request) {
    HttpsClient client(host, port, static_cast<std::uint32_t>(read_timeout_sec));
    client.connect();
    client.send(request);
    return client.recv();
}
AuthTokenRetriever s_auth_token_retriever(exchange_on_new_client);

// OpenSSL frees its state at exit through a handler it registers when first used. The token
// worker must end before that, or its thread's OpenSSL state outlives the library; a handler
// registered after OpenSSL's runs first (and at unload, for a library).
std::once_flag s_token_stop_once;
void stop_token_worker() { s_auth_token_retriever.stopAuthTokenRetrieval(); }

std::once_flag domain_once_flag;  // a failed lookup leaves it unset, so the next send retries
std::string domainId_s;

std::once_flag prefix_once_flag;  // guards s_request_id_prefix
std::string s_request_id_prefix;

std::mutex s_test_mutex;  // guards the token waits below
std::atomic<rest_sleep_t> s_sleep{nullptr};
std::chrono::milliseconds s_first_token_wait{std::chrono::seconds(10)};
std::chrono::milliseconds s_second_token_wait{std::chrono::seconds(120)};

template <typename Build>
void log_at(SimpleLogger::ELevel level, Build build) {
    if (SimpleLogger::logLevel() <= level) {
        SimpleLogger logger(level);
        build(logger);
    }
}

void pause_for(std::chrono::milliseconds duration) {
    if (rest_sleep_t sleep = s_sleep.load()) {
        sleep(duration);
    } else {
        std::this_thread::sleep_for(duration);
    }
}

std::shared_ptr<HttpClientManager<HttpsClient>> client_manager() {
    std::lock_guard lock(s_state_mutex);
    return s_client_manager;
}

const std::string& domain_id() {
    std::call_once(domain_once_flag, [] {
        auto cert = xtc::read_cert(XmConfiguration().GetXtcPartitionCAPath());
        if (!cert) {
            throw std::runtime_error("Error: Failed to read cert (PartitionCAPath)");
        }
        auto domain = xtc::get_domain_id(cert);
        if (!domain) {
            throw std::runtime_error("Error: Failed to extract Domain ID from cert (PartitionCAPath)");
        }
        domainId_s = *domain;
    });
    return domainId_s;
}

std::string getRequestID(int attempt) {
    thread_local const auto tid = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    thread_local std::uint32_t cnt = 0;
    std::call_once(prefix_once_flag,
                   [] { s_request_id_prefix = request_id_prefix(std::getenv("TwoCharReqIdPrefix")); });
    if (attempt == 0) {
        ++cnt;
    }
    return format_request_id(s_request_id_prefix, tid, cnt, attempt);
}

// ---- start-up -------------------------------------------------------------------------------

struct init_failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void init_client_pool() {
    XmConfiguration config;
    auto manager = std::make_shared<HttpClientManager<HttpsClient>>();
    {
        std::lock_guard lock(s_state_mutex);
        s_client_manager = manager;  // the previous pool goes when its last lender is done
    }
    const bool connected = manager->init(
        config.GetRestServerName(), static_cast<std::uint16_t>(config.GetRestServerPort()),
        static_cast<std::uint64_t>(config.GetRestClientPoolSize()),
        static_cast<std::int32_t>(config.GetRestClientConnectRetryCount()),
        static_cast<std::int32_t>(config.GetRestClientConnectIntervalMs()),
        static_cast<std::int32_t>(config.GetRestClientTimeoutSec()));
    if (!connected) {
        throw init_failure("initializeClientManagerPool() failed");
    }
}

void start_token_retrieval() {
    XmConfiguration config;
    std::string host;
    std::uint16_t port = 0;
    std::string path;
    if (!HttpUtils::parseURI(config.GetRestAuthTokenConfigURI(), host, port, path)) {
        throw init_failure("Invalid authentication token config URI");
    }
    if (!s_auth_token_retriever.fetchAuthTokenConfig(host, port, path)) {
        throw init_failure("Failed to retrieve authentication token configuration from https://" +
                           host + ":" + std::to_string(port) + path);
    }
    const std::string where = "https://" + host + ":" + std::to_string(port) + path;
    std::call_once(s_token_stop_once, [] { std::atexit(stop_token_worker); });
    s_auth_token_retriever.startAuthTokenRetrieval(host, port, path,
                                                   config.GetRestAuthTokenClientId(),
                                                   config.GetRestAuthTokenClientSecret());
    std::chrono::milliseconds first, second;
    {
        std::lock_guard lock(s_test_mutex);
        first = s_first_token_wait;
        second = s_second_token_wait;
    }
    if (!s_auth_token_retriever.waitForCurrentAuthToken(first).empty()) {
        return;
    }
    log_at(SimpleLogger::info, [&](SimpleLogger& log) {
        log << "Please stand by while retrieving an authentication token from " << where << "...";
    });
    if (s_auth_token_retriever.waitForCurrentAuthToken(second).empty()) {
        throw init_failure("Failed to retrieve authentication token from " + where);
    }
}

// Steps that may fail with a text; false only for the silent failure of the tunnel state.
bool initialize_steps() {
    if (auto error = isValidSSLClientConfiguration()) {
        throw init_failure("isValidSSLClientConfiguration(): " + *error);
    }
    init_client_pool();
    XmConfiguration config;
    if (config.GetRestAuthTokenRetrievalEnabled()) {
        start_token_retrieval();
    }
    s_client_eof_retry_cnt.store(static_cast<std::int32_t>(config.GetRestClientEofRetryCount()));
    s_xm_app_specific_data = config.GetRestXMAppSpecificData();
    // A temporary tunnel state only names the configured partitions.
    auto state = xtc::init();
    if (!state) {
        return false;
    }
    s_partition_versions.reset(xtc::serialNumberList(*state));
    return true;
}

// ---- one exchange ---------------------------------------------------------------------------

HttpRequest build_request(const cmd_t& cmd, const std::string& target,
                          const header_map_t& headers) {
    HttpRequest request;
    request.setMethod(HttpRequest::Method::POST);
    request.setURL(target);
    request.setVersion(11);
    request.setHeader("Content-Type", "application/octet-stream");
    request.setHeader("User-Agent", "curl/7.35.0");
    request.setHeader(CLIENT_VER_HDR, "10.0.0");
    if (!s_xm_app_specific_data.empty()) {
        request.setHeader(XM_APP_SPECIFIC_DATA_HDR, s_xm_app_specific_data);
    }
    if (std::string token = s_auth_token_retriever.getCurrentAuthToken(); !token.empty()) {
        request.setHeader(AUTHORIZATION_HDR, "Bearer " + token);
    }
    for (const auto& [name, value] : headers) {
        request.setHeader(name, value);
    }
    request.setBody(std::string(cmd.request.begin(), cmd.request.end()));
    return request;
}

std::string header_or_na(const header_map_t& headers, const char* name) {
    auto it = headers.find(name);
    return it == headers.end() ? "N/A" : it->second;
}

// What one attempt's outcome asks of the loop.
enum class next_step { retry, stop, give_up_multipart };

struct attempt_state_t {
    std::int32_t budget = 0;
    int status = HTTP_UNAVAILABLE;
    HttpResponse reply;
};

next_step after_reply(attempt_state_t& s, bool multipart) {
    if (auto retry_after = s.reply.getHeader(RETRY_AFTER_HDR)) {
        pause_for(retry_after_pause(*retry_after));
        log_at(SimpleLogger::trace, [&](SimpleLogger& log) {
            log << "Retrying (code=" << RETRY_AFTER_HDR << ", " << s.budget << " retries remaining)";
        });
    } else if (s.status != HTTP_UNAVAILABLE) {
        return next_step::stop;
    } else {
        pause_for(BUSY_PAUSE);
        log_at(SimpleLogger::trace, [&](SimpleLogger& log) {
            log << "Retrying (code=503 Service Unavailable, " << s.budget << " retries remaining)";
        });
    }
    // A multipart step is never repeated here: the whole sequence reruns with a fresh context.
    return multipart ? next_step::give_up_multipart : next_step::retry;
}

template <typename Handle>
next_step after_network_error(attempt_state_t& s, Handle& client,
                              HttpClientManager<HttpsClient>& manager, const std::string& what,
                              const boost::system::error_code* code, const std::string& command) {
    if (s.budget <= 0) {
        log_at(SimpleLogger::trace, [&](SimpleLogger& log) {
            log << "Exception: (boost::system::system_error), ex.what()=" << what << ", cmd="
                << command;
        });
        return next_step::retry;  // the budget ends the loop
    }
    pause_for(BUSY_PAUSE);
    client = manager.renewClient(std::move(client));
    if (code != nullptr && *code == boost::system::error_code(OPERATION_CANCELED,
                                                              boost::system::system_category())) {
        log_at(SimpleLogger::trace, [&](SimpleLogger& log) {
            log << "Timeout (ex.what=" << what << ", abandoning request)";
        });
        s.status = HTTP_TIMEOUT;
        return next_step::stop;
    }
    log_at(SimpleLogger::trace, [&](SimpleLogger& log) {
        if (code != nullptr) {
            log << "Retrying (ex.code=" << *code << ", ex.what=" << what << ", " << s.budget
                << " retries remaining)";
        } else {
            log << "Retrying. ex.what=" << what;
        }
    });
    return next_step::retry;
}

std::uint32_t map_status(const attempt_state_t& s) {
    log_at(SimpleLogger::trace, [&](SimpleLogger& log) { log << "HTTP response code: " << s.status; });
    if (s.budget < 0) {
        return RC_BUSY;
    }
    switch (s.status) {
        case HTTP_TIMEOUT:
            return XM_OPERATION_TIMED_OUT;
        case HTTP_UNAUTHORIZED:
            return RC_PIN_INVALID;
        case HTTP_NOT_FOUND:
            return RC_ARGUMENTS_BAD;
        case HTTP_TOO_MANY:
            return RC_BUSY;
        default:
            return RC_GENERAL_ERROR;
    }
}

std::uint32_t accept_reply(cmd_t& cmd, const HttpResponse& reply) {
    const std::string& body = reply.getBody();
    if (body.size() > cmd.response.size()) {
        log_at(SimpleLogger::trace, [&](SimpleLogger& log) {
            log << "sResponse is unexpectedly large, cmd.rsp_buf.size() " << cmd.response.size()
                << " sResponse.size() " << body.size();
        });
        return ORVA_RET_BUFFER_TOO_SMALL;
    }
    cmd.response.assign(body.begin(), body.end());
    s_partition_versions.update(cmd.partition, reply.getHeader(PARTITION_VERSION_HDR),
                                reply.getHeader(APP_SESSIONS_VERSION_HDR), Keepalive::insert);
    return RC_OK;
}

std::uint32_t do_send(cmd_t& cmd, const std::string& target, const header_map_t& headers) {
    HttpRequest request = build_request(cmd, target, headers);
    const std::string command = header_or_na(headers, COMMAND_HDR);
    const bool multipart = headers.count(MULTIPART_REQUEST_HDR) != 0;
    attempt_state_t s;
    // During start-up one attempt is all a request gets.
    s.budget = rest_plugin_state() == REST_PLUGIN_INITIALISING ? 1 : s_client_eof_retry_cnt.load();
    auto manager = client_manager();
    if (!manager) {
        throw std::runtime_error("Error: the REST client pool is not initialised");
    }
    auto client = manager->borrowClient();
    for (int attempt = 0;; ++attempt) {
        if (rest_plugin_state() == REST_PLUGIN_FINALISING || s.budget-- <= 0) {
            break;
        }
        request.setHeader(REQ_ID_HDR, getRequestID(attempt));
        log_at(SimpleLogger::debug, [&](SimpleLogger& log) {
            log << "Multipart=" << header_or_na(headers, MULTIPART_REQUEST_HDR) << ", "
                << "SessionId=" << header_or_na(headers, SESSION_ID_HDR) << ", "
                << "ReqID=" << *request.getHeader(REQ_ID_HDR) << ", COMMAND=" << command;
        });
        next_step step = next_step::stop;
        try {
            client->send(request);
            s.reply = client->recv();
            s.status = s.reply.getStatus();
            step = after_reply(s, multipart);
        } catch (const boost::system::system_error& e) {
            const boost::system::error_code code = e.code();
            step = after_network_error(s, client, *manager, e.what(), &code, command);
        } catch (const std::runtime_error& e) {
            step = after_network_error(s, client, *manager, e.what(), nullptr, command);
        } catch (const std::exception& e) {
            log_at(SimpleLogger::trace, [&](SimpleLogger& log) {
                log << "Exception: (std::exception), ex.what()=" << e.what() << ", cmd=" << command;
            });
        } catch (...) {
            log_at(SimpleLogger::trace,
                   [&](SimpleLogger& log) { log << "Unknown exception: " << "do_send" << ":" << 555; });
        }
        if (step == next_step::give_up_multipart) {
            return RC_RETRY;
        }
        if (step == next_step::stop) {
            break;
        }
    }
    client.reset();  // back to the pool before the reply is unpacked
    if (s.status == HTTP_OK) {
        return accept_reply(cmd, s.reply);
    }
    return map_status(s);
}

}  // namespace

bool rest_initialize() {
    if (RAND_bytes(s_aid_salt.data(), static_cast<int>(s_aid_salt.size())) != 1) {
        return false;
    }
    try {
        return initialize_steps();
    } catch (const std::runtime_error& e) {
        log_at(SimpleLogger::error, [&](SimpleLogger& log) {
            log << "Exception: Failed to initialize Zarv REST client: " << e.what();
        });
    } catch (...) {
        log_at(SimpleLogger::error,
               [](SimpleLogger& log) { log << "Exception: Failed to initialize Zarv REST client"; });
    }
    return false;
}

bool rest_finalize() { return true; }

std::uint32_t rest_send(cmd_t& cmd) {
    if (!write_transport_prefix(cmd)) {
        throw std::runtime_error("Error: request too short for the transport prefix");
    }
    const std::string target = request_target(cmd);
    const auto versions = cmd.partition != 0 ? s_partition_versions.get(cmd.partition)
                                             : std::pair<std::int64_t, std::int64_t>{0, 0};
    header_map_t headers = make_headers(cmd, s_aid_salt, domain_id(), versions);
    return do_send(cmd, target, headers);
}

void set_rest_sleep_for_testing(rest_sleep_t sleep) { s_sleep.store(sleep); }

void set_rest_token_waits_for_testing(std::chrono::milliseconds first,
                                      std::chrono::milliseconds second) {
    std::lock_guard lock(s_test_mutex);
    s_first_token_wait = first;
    s_second_token_wait = second;
}
