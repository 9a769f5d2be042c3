#include "config/SimpleLogger.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <boost/system/error_code.hpp>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string_view>

#include "config/XmConfiguration.h"

namespace {

constexpr std::int64_t MICROS_PER_SECOND = 1000000;
constexpr const char* MONTH_NAMES[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* LEVEL_TEXTS[] = {"  trace", "  debug", "   info", "warning",
                                       "  error", "  fatal", "DISABLED"};
// What the line head shows when the local time cannot be worked out, as Boost.Date_Time
// prints a time point that has no value.
constexpr const char* NO_TIME_TEXT = "not-a-date-time";

// Test seams; null means the real clock and standard error.
std::atomic<SimpleLogger::MicrosecondClock> s_test_clock{nullptr};
std::atomic<std::ostream*> s_test_sink{nullptr};

std::int64_t wall_clock_micros() {
    if (const SimpleLogger::MicrosecondClock clock = s_test_clock.load()) {
        return clock();
    }
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return static_cast<std::int64_t>(now.tv_sec) * MICROS_PER_SECOND + now.tv_usec;
}

// Boost.Date_Time's simple form, "2018-Dec-09 18:11:02.123456", written without Boost so
// that the month names do not depend on the host's locale.
std::string format_local_time(std::int64_t micros_since_epoch) {
    std::int64_t seconds = micros_since_epoch / MICROS_PER_SECOND;
    std::int64_t micros = micros_since_epoch % MICROS_PER_SECOND;
    if (micros < 0) {
        micros += MICROS_PER_SECOND;
        --seconds;
    }
    const auto time = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (::localtime_r(&time, &local) == nullptr) {
        return NO_TIME_TEXT;
    }
    char text[64];
    int length = std::snprintf(text, sizeof(text), "%04d-%s-%02d %02d:%02d:%02d",
                               local.tm_year + 1900, MONTH_NAMES[local.tm_mon], local.tm_mday,
                               local.tm_hour, local.tm_min, local.tm_sec);
    if (micros != 0 && length > 0 && static_cast<std::size_t>(length) < sizeof(text)) {
        std::snprintf(text + length, sizeof(text) - length, ".%06lld",
                      static_cast<long long>(micros));
    }
    return text;
}

void write_level_text(std::ostream& out, int level) {
    if (level >= 0 && level < static_cast<int>(std::size(LEVEL_TEXTS))) {
        out << LEVEL_TEXTS[level];
    } else {
        out << "level-" << level;
    }
}

// Stands in for a message whose stream could not be allocated: it is never good, so every
// value written to it is dropped. One per thread, because a failed write updates its state.
std::ostream& discarding_stream() {
    thread_local std::ostream stream(nullptr);
    return stream;
}

}  // namespace

class SimpleLogger::SimpleLoggerImpl {
  public:
    explicit SimpleLoggerImpl(int level) {
        stream_ << format_local_time(wall_clock_micros()) << ": ";
        write_level_text(stream_, level);
        stream_ << ": Thrd=" << ::gettid() << ", ";
    }

    SimpleLoggerImpl(const SimpleLoggerImpl&) = delete;
    SimpleLoggerImpl& operator=(const SimpleLoggerImpl&) = delete;

    ~SimpleLoggerImpl() {
        try {
            std::string line = stream_.str();
            line.push_back('\n');
            // Serialises whole lines across threads so that they never interleave.
            const std::lock_guard<std::mutex> lock(mutex_);
            std::ostream* sink = s_test_sink.load();
            std::ostream& out = sink != nullptr ? *sink : std::cerr;
            out.write(line.data(), static_cast<std::streamsize>(line.size()));
            out.flush();
        } catch (...) {
            // A diagnostic line is never worth failing the caller for.
        }
    }

    std::ostream& stream() { return stream_; }

    static int logLevel() {
        static std::atomic<int> level_s{SimpleLogger::disabled};
        static std::once_flag init_once_flag;
        try {
            std::call_once(init_once_flag, [] {
                level_s = static_cast<int>(XmConfiguration().GetRestAppLogLevel());
            });
        } catch (...) {
            // The flag stays unset, so a later call tries again; until then nothing is logged.
        }
        return level_s.load();
    }

  private:
    static std::mutex mutex_;
    std::ostringstream stream_;
};

std::mutex SimpleLogger::SimpleLoggerImpl::mutex_;

int SimpleLogger::logLevel() {
    return SimpleLoggerImpl::logLevel();
}

SimpleLogger::SimpleLogger(ELevel level) : stream_(&discarding_stream()) {
    try {
        impl_ = std::make_shared<SimpleLoggerImpl>(level);
        stream_ = &impl_->stream();
    } catch (...) {
        impl_.reset();
    }
}

void SimpleLogger::setTestSeams(MicrosecondClock clock, std::ostream* sink) {
    s_test_clock.store(clock);
    s_test_sink.store(sink);
}

template <typename T>
void SimpleLogger::invoke_app_specific_logger(const T& value) {
    *stream_ << value;
}

template <>
void SimpleLogger::invoke_app_specific_logger<const char*>(const char* const& value) {
    if (value == nullptr) {
        stream_->setstate(std::ios::failbit);
        return;
    }
    *stream_ << value;
}

template <>
void SimpleLogger::invoke_app_specific_logger<boost::system::error_code>(
    const boost::system::error_code& value) {
    const char* category = value.category().name();
    if (category == nullptr) {
        stream_->setstate(std::ios::failbit);
        return;
    }
    *stream_ << category << ':' << value.value();
}

template void SimpleLogger::invoke_app_specific_logger<std::string>(const std::string&);
template void SimpleLogger::invoke_app_specific_logger<std::string_view>(const std::string_view&);
template void SimpleLogger::invoke_app_specific_logger<char>(const char&);
template void SimpleLogger::invoke_app_specific_logger<signed char>(const signed char&);
template void SimpleLogger::invoke_app_specific_logger<unsigned char>(const unsigned char&);
template void SimpleLogger::invoke_app_specific_logger<bool>(const bool&);
template void SimpleLogger::invoke_app_specific_logger<short>(const short&);
template void SimpleLogger::invoke_app_specific_logger<unsigned short>(const unsigned short&);
template void SimpleLogger::invoke_app_specific_logger<int>(const int&);
template void SimpleLogger::invoke_app_specific_logger<unsigned int>(const unsigned int&);
template void SimpleLogger::invoke_app_specific_logger<long>(const long&);
template void SimpleLogger::invoke_app_specific_logger<unsigned long>(const unsigned long&);
template void SimpleLogger::invoke_app_specific_logger<long long>(const long long&);
template void SimpleLogger::invoke_app_specific_logger<unsigned long long>(
    const unsigned long long&);
template void SimpleLogger::invoke_app_specific_logger<float>(const float&);
template void SimpleLogger::invoke_app_specific_logger<double>(const double&);
template void SimpleLogger::invoke_app_specific_logger<long double>(const long double&);
template void SimpleLogger::invoke_app_specific_logger<const void*>(const void* const&);
