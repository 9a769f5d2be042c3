// The service's own base64: standard with padding, URL-safe without, strict decoding.

#include <gtest/gtest.h>

#include "service/base64.h"

namespace {

struct base64_case_t {
    const char* data;
    const char* standard;
    const char* url;
};

class Base64Vectors : public ::testing::TestWithParam<base64_case_t> {};

TEST_P(Base64Vectors, EncodeAndDecode) {
    const auto& c = GetParam();
    EXPECT_EQ(service::base64_encode(c.data), c.standard);
    EXPECT_EQ(service::base64_decode(c.standard), c.data);
    EXPECT_EQ(service::base64url_encode(c.data), c.url);
    EXPECT_EQ(service::base64url_decode(c.url), c.data);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vectors,
                         ::testing::Values(base64_case_t{"", "", ""},
                                           base64_case_t{"f", "Zg==", "Zg"},
                                           base64_case_t{"fo", "Zm8=", "Zm8"},
                                           base64_case_t{"foo", "Zm9v", "Zm9v"},
                                           base64_case_t{"foob", "Zm9vYg==", "Zm9vYg"},
                                           base64_case_t{"fooba", "Zm9vYmE=", "Zm9vYmE"},
                                           base64_case_t{"\xfb\xff\xbf", "+/+/", "-_-_"}));

TEST(Base64, StrictDecodingRefusesMalformedText) {
    for (const char* text : {"Zg=", "Zg===", "Z===", "Zm9v!A==", "Zm=v", "Zg==Zg==", "-_-_"}) {
        EXPECT_FALSE(service::base64_decode(text)) << text;
    }
    for (const char* text : {"Zg==", "+/+/", "Z", "Zm9vY"}) {
        EXPECT_FALSE(service::base64url_decode(text)) << text;
    }
}

}  // namespace
