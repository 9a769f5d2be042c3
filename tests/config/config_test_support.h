#pragma once
// Temporary configuration directories and environment changes that undo themselves.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace config_test {

// Remembers the first value seen for every variable it touches and puts it back on destruction.
class ScopedEnv {
  public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

    void set(const std::string& name, const std::string& value) {
        remember(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        ::unsetenv(name.c_str());
    }

  private:
    void remember(const std::string& name) {
        if (saved_.count(name) == 0) {
            const char* current = ::getenv(name.c_str());
            saved_[name] = current ? std::optional<std::string>(current) : std::nullopt;
        }
    }

    std::map<std::string, std::optional<std::string>> saved_;
};

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ximora-config-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Points MarlevonConfigurationPath at a fresh directory for the test; write_config() fills
// its Marlevon.conf. Objects must be constructed after the variable is set.
class ConfigFileTest : public ::testing::Test {
  protected:
    void SetUp() override { env_.set("MarlevonConfigurationPath", dir_.path()); }

    void write_config(const std::string& text) const {
        std::ofstream file(config_path(), std::ios::binary | std::ios::trunc);
        file << text;
        ASSERT_TRUE(file.good());
    }
    std::string config_path() const { return dir_.path() + "/Marlevon.conf"; }

    ScopedEnv env_;
    TempDir dir_;
};

}  // namespace config_test
