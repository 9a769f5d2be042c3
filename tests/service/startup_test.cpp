// The ximora-service program: its ready line, a clean stop on a signal, and clear failures
// for bad flags, a missing key file and a busy port.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/service_test_support.h"

namespace service_test {
namespace {

constexpr auto WAIT_LIMIT = std::chrono::seconds(20);

// A child process running the program with its standard output and error captured.
class program {
  public:
    explicit program(std::vector<std::string> args) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv{const_cast<char*>(XIMORA_SERVICE_PATH)};
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(XIMORA_SERVICE_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~program() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    /// The first line on standard output, or "" when the output ends first.
    std::string read_line() {
        std::string line;
        char c = 0;
        const auto deadline = std::chrono::steady_clock::now() + WAIT_LIMIT;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd{out_, POLLIN, 0};
            if (poll(&fd, 1, 100) <= 0) {
                continue;
            }
            if (read(out_, &c, 1) != 1 || c == '\n') {
                break;
            }
            line += c;
        }
        return line;
    }

    /// Waits for the exit; -1 when it does not come in time.
    int wait_exit() {
        const auto deadline = std::chrono::steady_clock::now() + WAIT_LIMIT;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    std::string error_output() {
        std::string text;
        char buffer[512];
        ssize_t n = 0;
        while ((n = read(err_, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

    void signal(int number) { kill(pid_, number); }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
};

class StartupTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pki_ = new pki_dir({1001}); }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    static inline pki_dir* pki_ = nullptr;
};

class StopSignal : public StartupTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, StopsCleanlyAfterTheReadyLine) {
    program service({"--pki", pki_->path().string(), "--port", "0"});
    const auto ready = service.read_line();
    ASSERT_TRUE(ready.starts_with("ready port=")) << ready << service.error_output();
    const auto port = static_cast<std::uint16_t>(std::stoul(ready.substr(11)));
    https_client connection(port, pki_->path() / "tls" / "ca-bundle.pem");
    xtc_client client(https_transport(connection), 1001, pki_->partition_public_key(1001),
                      service::system_seconds);
    EXPECT_TRUE(client.open().authentic);
    service.signal(GetParam());
    EXPECT_EQ(service.wait_exit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGTERM, SIGINT));

struct failure_t {
    const char* name;
    std::vector<std::string> args;  // "PKI" is replaced by the minted directory
    int exit_code;
    const char* message;
};

class StartupFailure : public StartupTest, public ::testing::WithParamInterface<failure_t> {};

TEST_P(StartupFailure, ExitsWithAClearMessage) {
    auto args = GetParam().args;
    for (auto& arg : args) {
        if (arg.starts_with("PKI")) {
            arg = pki_->path().string() + arg.substr(3);
        }
    }
    program service(args);
    EXPECT_EQ(service.wait_exit(), GetParam().exit_code);
    EXPECT_NE(service.error_output().find(GetParam().message), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupFailure,
    ::testing::Values(
        failure_t{"UnknownFlag",
                  {"--pki", "PKI", "--port", "0", "--verbose"},
                  2,
                  "unknown argument '--verbose'"},
        failure_t{"MissingValue", {"--pki", "PKI", "--port"}, 2, "--port needs a value"},
        failure_t{"BadPort", {"--pki", "PKI", "--port", "70000"}, 2, "port number"},
        failure_t{"BadControlPort",
                  {"--pki", "PKI", "--port", "0", "--control-port", "x"},
                  2,
                  "--control-port needs a port number"},
        failure_t{"NoPki", {"--port", "0"}, 2, "--pki and --port are required"},
        failure_t{
            "MissingPkiDir", {"--pki", "PKI/absent", "--port", "0"}, 1, "no such PKI directory"},
        failure_t{"NoPartitionKeys",
                  {"--pki", "PKI/tls", "--port", "0"},
                  1,
                  "no partition-<serial>.key"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartupTest, ControlPortAndOAuthFlags) {
    program service(
        {"--pki", pki_->path().string(), "--port", "0", "--oauth", "--control-port", "0"});
    const auto ready = service.read_line();
    const auto at = ready.find(" control-port=");
    ASSERT_TRUE(ready.starts_with("ready port=") && at != std::string::npos) << ready;
    const auto port = static_cast<std::uint16_t>(std::stoul(ready.substr(11, at - 11)));
    const auto control = static_cast<std::uint16_t>(std::stoul(ready.substr(at + 14)));
    EXPECT_EQ(plain_http(control, "GET", "/violations").status, 200u);
    https_client connection(port, pki_->path() / "tls" / "ca-bundle.pem");
    EXPECT_EQ(connection.post("/vHSM/1001", bytes(312, 0), {}).status, 401u);
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait_exit(), 0);
}

TEST_F(StartupTest, BusyPortIsReported) {
    program first({"--pki", pki_->path().string(), "--port", "0"});
    const auto ready = first.read_line();
    ASSERT_TRUE(ready.starts_with("ready port="));
    const auto port = ready.substr(11);
    program second({"--pki", pki_->path().string(), "--port", port});
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_NE(second.error_output().find("cannot listen on 127.0.0.1:" + port), std::string::npos);
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait_exit(), 0);
}

TEST_F(StartupTest, MissingKeyFileIsNamed) {
    const auto copy = pki_->path().parent_path() / (pki_->path().filename().string() + "-copy");
    std::filesystem::copy(pki_->path(), copy, std::filesystem::copy_options::recursive);
    std::filesystem::remove(copy / "tls" / "server.key");
    program service({"--pki", copy.string(), "--port", "0"});
    EXPECT_EQ(service.wait_exit(), 1);
    EXPECT_NE(service.error_output().find("server.key"), std::string::npos);
    std::filesystem::remove_all(copy);
}

}  // namespace
}  // namespace service_test
