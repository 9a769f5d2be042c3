#include "config/MarlevonConfiguration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr const char* PATH_ENV = "MarlevonConfigurationPath";
constexpr const char* DEFAULT_PATH = "/etc/Marlevon.conf";
constexpr const char* FILE_NAME = "/Marlevon.conf";
// Only this much of the environment value is used, which keeps the path far below capacity.
constexpr int MAX_DIRECTORY_CHARS = 256;

// Fixed to the "C" locale's space and control classes so that a host that changes the
// global locale cannot change how its configuration file is read.
bool is_trim_space(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x01 && byte <= 0x20) || byte == 0x7F;
}

bool is_header_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool is_line_break(char c) {
    return c == '\r' || c == '\n';
}

struct FileCloser {
    int fd;
    ~FileCloser() { ::close(fd); }
};

// Scans the characters after a candidate section name: white space, exactly one '=', then
// '{'. Returns null when the header qualifies, otherwise the character that disqualified it
// (the terminating NUL when the text ran out).
const char* disqualifier_after_section_name(const char* p) {
    bool seen_equals = false;
    for (;; ++p) {
        const char c = *p;
        if (c == '\0') {
            return p;
        }
        if (is_header_space(c)) {
            continue;
        }
        if (c == '=' && !seen_equals) {
            seen_equals = true;
            continue;
        }
        if (c == '{' && seen_equals) {
            return nullptr;
        }
        return p;
    }
}

// The first occurrence of `section` that stands at a line start (or after a space) and is
// followed by "= {"; null when none does.
char* find_section_name(char* text, const char* section) {
    const std::size_t length = std::strlen(section);
    char* from = text;
    while (char* found = std::strstr(from, section)) {
        if (found != text && !is_line_break(found[-1]) && found[-1] != ' ') {
            from = found + length;
            continue;
        }
        const char* bad = disqualifier_after_section_name(found + length);
        if (bad == nullptr) {
            return found;
        }
        if (*bad == '\0') {
            return nullptr;
        }
        from = const_cast<char*>(bad) + 1;
    }
    return nullptr;
}

// The '=' of the first entry for `key` in the body, or null. `body` is never the start of the
// text, so looking one character back stays inside the buffer.
char* find_key_equals(char* body, const char* key) {
    const std::size_t length = std::strlen(key);
    for (char* from = body; char* found = std::strstr(from, key); from = found + 1) {
        const char before = found[-1];
        if (!is_line_break(before) && before != '{' && before != ' ') {
            continue;
        }
        char* after = found + length;
        while (*after == ' ') {
            ++after;
        }
        if (*after == '=') {
            return after;
        }
    }
    return nullptr;
}

void copy_truncated(const char* value, char* out, std::int32_t out_size) {
    const std::size_t capacity = static_cast<std::size_t>(out_size);
    const std::size_t length = std::strlen(value);
    const std::size_t copied = length < capacity ? length : capacity - 1;
    std::memcpy(out, value, copied);
    out[copied] = '\0';
}

}  // namespace

MarlevonConfiguration::MarlevonConfiguration() {
    std::memset(path_, 0, sizeof(path_));
    InitializeConfFileName();
}

void MarlevonConfiguration::InitializeConfFileName() {
    const char* directory = std::getenv(PATH_ENV);
    if (directory == nullptr) {
        std::snprintf(path_, sizeof(path_), "%s", DEFAULT_PATH);
        return;
    }
    std::snprintf(path_, sizeof(path_), "%.*s%s", MAX_DIRECTORY_CHARS, directory, FILE_NAME);
}

const char* MarlevonConfiguration::GetConfFileName() const {
    return path_;
}

bool MarlevonConfiguration::ReadConfigurationFile(const char* path, char** data,
                                                  std::uint64_t* size) const {
    if (path == nullptr || data == nullptr || size == nullptr) {
        return false;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    FileCloser closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size <= 0) {
        return false;
    }
    const auto file_size = static_cast<std::size_t>(status.st_size);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[file_size + 1]);
    if (!buffer) {
        return false;
    }
    ssize_t got = 0;
    do {
        got = ::read(fd, buffer.get(), file_size);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return false;
    }
    // A file that shrank while being read yields fewer bytes; the text ends where the read did.
    buffer[static_cast<std::size_t>(got)] = '\0';
    *size = static_cast<std::uint64_t>(got);
    *data = buffer.release();
    return true;
}

bool MarlevonConfiguration::GetConfigurationEntry(const char* section, const char* key, char* out,
                                                  std::int32_t out_size) const {
    // Empty names would match everywhere (and an empty section name would never advance).
    if (section == nullptr || key == nullptr || out == nullptr || out_size <= 0 ||
        *section == '\0' || *key == '\0') {
        return false;
    }
    char* raw = nullptr;
    std::uint64_t size = 0;
    if (!ReadConfigurationFile(GetConfFileName(), &raw, &size)) {
        return false;
    }
    const std::unique_ptr<char[]> text(raw);

    char* name = find_section_name(text.get(), section);
    if (name == nullptr) {
        return false;
    }
    char* body = name + std::strlen(section);
    if (char* close = std::strchr(body, '}')) {
        *close = '\0';
    }
    char* equals = find_key_equals(body, key);
    if (equals == nullptr) {
        return false;
    }
    char* value = equals + 1;
    value[std::strcspn(value, ";\r\n")] = '\0';
    copy_truncated(Ostl_TrimWhiteSpaces(value), out, out_size);
    return true;
}

bool MarlevonConfiguration::GetConfigurationInfo(const char* section, const char* key, char* out,
                                                 std::int32_t out_size) const {
    return GetConfigurationEntry(section, key, out, out_size);
}

char* Ostl_SkipWhiteSpaces(char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    while (is_trim_space(*text)) {
        ++text;
    }
    return text;
}

void Ostl_RemoveTrailingWhitespaces(char* text) {
    if (text == nullptr) {
        return;
    }
    for (std::size_t end = std::strlen(text); end > 0 && is_trim_space(text[end - 1]); --end) {
        text[end - 1] = '\0';
    }
}

char* Ostl_TrimWhiteSpaces(char* text) {
    char* start = Ostl_SkipWhiteSpaces(text);
    Ostl_RemoveTrailingWhitespaces(start);
    return start;
}
