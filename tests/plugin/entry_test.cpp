#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// The host sees the plug-in only through dlopen; so do these tests.
class PluginLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(XIMORA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    void* handle_ = nullptr;
};

TEST_F(PluginLibrary, ReportsVersionOneOneAndDescription) {
    auto get_version =
        reinterpret_cast<void (*)(std::int32_t*, std::int32_t*)>(dlsym(handle_, "plugin_get_version"));
    auto get_description =
        reinterpret_cast<const char* (*)()>(dlsym(handle_, "plugin_get_description"));
    ASSERT_NE(get_version, nullptr);
    ASSERT_NE(get_description, nullptr);

    std::int32_t major = 0;
    std::int32_t minor = 0;
    get_version(&major, &minor);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(std::string(get_description()), "Ximora Plugin");

    std::int32_t only_minor = 0;
    get_version(nullptr, &only_minor);
    EXPECT_EQ(only_minor, 1);
}

}  // namespace
