#include "plugin/boundary.h"

#include "config/SimpleLogger.h"

void boundary::log_escaped(const char* slot, const char* what) noexcept {
    try {
        if (SimpleLogger::logLevel() <= SimpleLogger::error) {
            SimpleLogger(SimpleLogger::error)() << "Unexpected failure in " << slot << ": " << what;
        }
    } catch (...) {
        // Logging is best effort here: the caller is already turning a failure into a code.
    }
}
