#include "rest/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

struct VectorCase {
    std::vector<std::uint8_t> data;
    std::string standard;
    std::string url;
};

// RFC 4648 section 10, then bytes that use the two characters where the alphabets differ.
const VectorCase VECTORS[] = {
    {bytes_of(""), "", ""},
    {bytes_of("f"), "Zg==", "Zg"},
    {bytes_of("fo"), "Zm8=", "Zm8"},
    {bytes_of("foo"), "Zm9v", "Zm9v"},
    {bytes_of("foob"), "Zm9vYg==", "Zm9vYg"},
    {bytes_of("fooba"), "Zm9vYmE=", "Zm9vYmE"},
    {bytes_of("foobar"), "Zm9vYmFy", "Zm9vYmFy"},
    {{0xFB, 0xFF}, "+/8=", "-_8"},
    {{0xFB, 0xEF, 0xBE, 0xFF, 0xFF, 0xFF}, "++++////", "----____"},
    {{0x00}, "AA==", "AA"},
};

TEST(Base64Test, KnownVectors) {
    for (const auto& v : VECTORS) {
        EXPECT_EQ(base64_encode(v.data), v.standard);
        EXPECT_EQ(base64url_encode(v.data), v.url);
        EXPECT_EQ(base64_decode(v.standard), v.data) << v.standard;
        EXPECT_EQ(base64url_decode(v.url), v.data) << v.url;
        EXPECT_EQ(base64url_decode(v.url + std::string((4 - v.url.size() % 4) % 4, '=')), v.data)
            << v.url << " padded";
    }
}

TEST(Base64Test, StandardDecodeRejectsInvalid) {
    const char* const invalid[] = {
        "Zg",        // padding missing
        "Zg=",       // padding short
        "Z===",      // too much padding
        "====",      // nothing but padding
        "Zg==Zg==",  // padding inside the text
        "Zg=a",      // data after padding
        "Zm9v\n",    // white space
        " Zm9v",     // white space first
        "Zm9-",      // url alphabet
        "Zm9_",      // url alphabet
        "Zm9*",      // outside both alphabets
        "Zh==",      // unused bits set
        "Zm9=",      // unused bits set
    };
    for (const char* text : invalid) {
        EXPECT_EQ(base64_decode(text), std::nullopt) << '"' << text << '"';
    }
    EXPECT_EQ(base64_decode(std::string_view("Zm9v\0", 5)), std::nullopt);
}

TEST(Base64Test, UrlDecodeRejectsInvalid) {
    const char* const invalid[] = {
        "Z",      // one character cannot hold a byte
        "Zm9vY",  // same, after full blocks
        "Zg=",    // partial padding
        "Z=g=",   // padding inside the text
        "-_8+",   // standard alphabet
        "Zm9/",   // standard alphabet
        "Zm 9v",  // white space
        "Zh",     // unused bits set
        "Zm9vYg=A",
    };
    for (const char* text : invalid) {
        EXPECT_EQ(base64url_decode(text), std::nullopt) << '"' << text << '"';
    }
}

// Long inputs pass through the EVP functions in several pieces; the result must be seamless.
TEST(Base64Test, LongInputsRoundTrip) {
    std::mt19937 random(7);
    for (std::size_t size : {12287u, 12288u, 12289u, 100001u}) {
        std::vector<std::uint8_t> data(size);
        for (auto& byte : data) {
            byte = static_cast<std::uint8_t>(random());
        }
        const std::string standard = base64_encode(data);
        ASSERT_EQ(standard.size(), (size + 2) / 3 * 4);
        EXPECT_EQ(standard.find('='),
                  size % 3 == 0 ? std::string::npos : standard.size() - 3 + size % 3);
        EXPECT_EQ(base64_decode(standard), data);
        const std::string url = base64url_encode(data);
        EXPECT_EQ(url.find_first_of("+/="), std::string::npos);
        EXPECT_EQ(base64url_decode(url), data);
    }
}

}  // namespace
