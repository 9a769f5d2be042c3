#pragma once
// Lookups in the configuration file shared with the host. Every lookup reads the file afresh.

#include <cstdint>

class MarlevonConfiguration {
public:
    MarlevonConfiguration();
    virtual ~MarlevonConfiguration() = default;
    MarlevonConfiguration(const MarlevonConfiguration&) = default;
    MarlevonConfiguration& operator=(const MarlevonConfiguration&) = default;

    void InitializeConfFileName();
    virtual const char* GetConfFileName() const;

    /// Reads the whole file; on success `*data` is new[]-allocated and NUL-terminated.
    bool ReadConfigurationFile(const char* path, char** data, std::uint64_t* size) const;
    bool GetConfigurationEntry(const char* section, const char* key, char* out,
                               std::int32_t out_size) const;
    bool GetConfigurationInfo(const char* section, const char* key, char* out,
                              std::int32_t out_size) const;

private:
    static constexpr int PATH_CAPACITY = 500;
    char path_[PATH_CAPACITY];
};

char* Ostl_SkipWhiteSpaces(char* text);
void Ostl_RemoveTrailingWhitespaces(char* text);
char* Ostl_TrimWhiteSpaces(char* text);
