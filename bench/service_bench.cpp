// Load on the stand-in service: 8 threads, each with its own kept-alive TLS connection and its
// own tunnel (own ephemeral ECDH), sending protected ORVA_GET firmware-version commands as fast
// as they can. The figure is protected commands per second answered by the service.
//
// The load client is the service's own test client, not the plug-in: the point is to show the
// service is never what limits the plug-in.
#include <chrono>
#include <memory>
#include <stdexcept>

#include <benchmark/benchmark.h>

#include "service/server.h"
#include "tests/service/service_test_support.h"

namespace {

constexpr std::uint64_t PARTITION = 1001;
constexpr std::uint32_t ORVA_GET = 0x02;
constexpr std::uint32_t FIRMWARE_VERSION_ITEM = 13;
constexpr int CONNECTIONS = 8;

std::int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One service for the whole run, started on first use (thread-safe static initialisation).
struct service_under_load {
    service_test::pki_dir pki{{PARTITION}};
    service::server server{[this] {
        service::server_options_t options;
        options.pki_dir = pki.path();
        options.io_threads = 2;
        return options;
    }()};
    service_under_load() { server.start(); }
};

service_under_load& service_instance() {
    static service_under_load instance;
    return instance;
}

void BM_ProtectedCommands(benchmark::State& state) {
    auto& service = service_instance();
    service_test::https_client connection(service.server.port(),
                                          service.pki.path() / "tls" / "ca-bundle.pem");
    service_test::xtc_client tunnel(service_test::https_transport(connection), PARTITION,
                                    service.pki.partition_public_key(PARTITION), now_seconds);
    tunnel.open();
    if (!tunnel.is_open()) {
        state.SkipWithError("the tunnel did not open");
        return;
    }
    const auto probe = service_test::command(ORVA_GET, {}, FIRMWARE_VERSION_ITEM);
    std::int64_t answered = 0;
    for (auto _ : state) {
        auto result = tunnel.send(probe);
        if (!result.authentic || result.result != 0u) {
            state.SkipWithError("a command was not answered authentically with success");
            break;
        }
        ++answered;
    }
    state.counters["commands"] = benchmark::Counter(static_cast<double>(answered),
                                                    benchmark::Counter::kIsRate);
    // A fast service that counts what the client did wrong measures nothing.
    const auto violations = service.server.engine().violations().total();
    if (violations != 0) {
        state.SkipWithError("the service counted violations");
    }
}

BENCHMARK(BM_ProtectedCommands)->Threads(CONNECTIONS)->UseRealTime()->MinTime(3.0);

}  // namespace
