#include "tools/host/pin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace host {
namespace {

// Restores the terminal's echo on every path, including a read cut short by a signal.
class echo_off {
  public:
    explicit echo_off(int fd) : fd_(fd) {
        active_ = ::tcgetattr(fd_, &saved_) == 0;
        if (active_) {
            termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~echo_off() {
        if (active_) {
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
        }
    }
    echo_off(const echo_off&) = delete;
    echo_off& operator=(const echo_off&) = delete;

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

// Reserved up front so that no reallocation leaves a copy of the PIN behind; a longer line is
// refused rather than cut, so that what is sent is what was typed.
constexpr std::size_t MAX_PIN = 255;

std::string read_line(int fd) {
    std::string line;
    line.reserve(MAX_PIN);
    char c = 0;
    bool too_long = false;
    while (::read(fd, &c, 1) == 1 && c != '\n') {
        too_long = too_long || line.size() == MAX_PIN;
        if (!too_long) {
            line.push_back(c);
        }
    }
    ::explicit_bzero(&c, sizeof c);
    if (too_long) {
        ::explicit_bzero(line.data(), line.size());
        line.clear();
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// Grown to its capacity first (no reallocation) so that stale bytes past the end are wiped too.
void wipe_string(std::string& text) {
    text.resize(text.capacity());
    ::explicit_bzero(text.data(), text.size());
    text.clear();
}

}  // namespace

secret_string::secret_string(std::string&& text) : text_(std::move(text)) { wipe_string(text); }

secret_string::~secret_string() { wipe(); }

secret_string::secret_string(secret_string&& other) noexcept : text_(std::move(other.text_)) {
    other.wipe();
}

secret_string& secret_string::operator=(secret_string&& other) noexcept {
    if (this != &other) {
        wipe();
        text_ = std::move(other.text_);
        other.wipe();
    }
    return *this;
}

void secret_string::wipe() { wipe_string(text_); }

secret_string read_pin(const char* prompt) {
    if (const char* pin = std::getenv("XIMORA_PIN"); pin != nullptr) {
        return secret_string(std::string(pin));
    }
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return {};
    }
    secret_string pin;
    {
        // Echo goes off before the prompt shows, so nothing typed after it is echoed or flushed.
        echo_off quiet(tty);
        (void)!::write(tty, prompt, std::strlen(prompt));
        pin = secret_string(read_line(tty));
    }
    (void)!::write(tty, "\n", 1);
    ::close(tty);
    return pin;
}

secret_string pin_or(const char* fallback) {
    const char* pin = std::getenv("XIMORA_PIN");
    return secret_string(std::string(pin != nullptr ? pin : fallback));
}

}  // namespace host
