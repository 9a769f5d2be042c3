#pragma once
// One diagnostic line per message on standard error. Callers test the threshold first:
//
//   if (SimpleLogger::logLevel() <= SimpleLogger::warning) {
//       SimpleLogger(SimpleLogger::warning)() << "text " << value;
//   }
//
// The line is written when the last copy of the logger goes away.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>

namespace boost::system {
class error_code;
}

namespace simple_logger_detail {
// Values are formatted in the .cpp for a fixed set of types; this maps what callers stream
// (string literals, char buffers, enums, other pointers) onto that set.
template <typename T>
struct logged_as {
    using type = T;
};
template <typename T>
    requires std::is_enum_v<T>
struct logged_as<T> {
    using type = std::underlying_type_t<T>;
};
template <typename T>
    requires std::is_pointer_v<T>
struct logged_as<T> {
    using type = const void*;
};
template <>
struct logged_as<const char*> {
    using type = const char*;
};
template <>
struct logged_as<char*> {
    using type = const char*;
};
template <std::size_t N>
struct logged_as<char[N]> {
    using type = const char*;
};
template <std::size_t N>
struct logged_as<const char[N]> {
    using type = const char*;
};
}  // namespace simple_logger_detail

class SimpleLogger {
public:
    enum ELevel : int { trace = 0, debug = 1, info = 2, warning = 3, error = 4, fatal = 5, disabled = 6 };

    /// The configured threshold, read once per process.
    static int logLevel();

    explicit SimpleLogger(ELevel level);
    SimpleLogger& operator()() { return *this; }

    template <typename T>
    void invoke_app_specific_logger(const T& value);

    template <typename T>
    SimpleLogger& operator<<(const T& value) {
        using Logged = typename simple_logger_detail::logged_as<std::remove_cv_t<T>>::type;
        if constexpr (std::is_same_v<Logged, std::remove_cv_t<T>>) {
            invoke_app_specific_logger<Logged>(value);
        } else {
            invoke_app_specific_logger<Logged>(static_cast<Logged>(value));
        }
        return *this;
    }

    class SimpleLoggerImpl;

    /// For tests only: `clock` replaces the wall clock (microseconds since the epoch) and `sink`
    /// replaces standard error; null restores the real one. Not for production code.
    using MicrosecondClock = std::int64_t (*)();
    static void setTestSeams(MicrosecondClock clock, std::ostream* sink);

private:
    std::shared_ptr<SimpleLoggerImpl> impl_;
    std::ostream* stream_;
};

// Formatted specially in the .cpp: a null C string ends the message's values, and an error
// code shows as "category:value".
template <>
void SimpleLogger::invoke_app_specific_logger<const char*>(const char* const& value);
template <>
void SimpleLogger::invoke_app_specific_logger<boost::system::error_code>(
    const boost::system::error_code& value);
