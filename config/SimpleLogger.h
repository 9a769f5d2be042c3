#pragma once
// One diagnostic line per message on standard error. Callers test the threshold first:
//
//   if (SimpleLogger::logLevel() <= SimpleLogger::warning) {
//       SimpleLogger(SimpleLogger::warning)() << "text " << value;
//   }
//
// The line is written when the last copy of the logger goes away.

#include <memory>
#include <ostream>
#include <string>

namespace boost::system {
class error_code;
}

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
        invoke_app_specific_logger(value);
        return *this;
    }

    class SimpleLoggerImpl;

private:
    std::shared_ptr<SimpleLoggerImpl> impl_;
    std::ostream* stream_;
};
