// JSON reading and writing of outside data: what is refused, and how the refusal reads.
#include <gtest/gtest.h>
#include "ZQPlatform/JSONSerialization.h"

using namespace platform;

namespace {

TEST(JSONSerializationTest, ObjectsAndArraysAreRead) {
    auto object = JSONSerialization::parse(R"({"a":1,"b":[true,null,"x"]})");
    ASSERT_TRUE(object);
    EXPECT_EQ((*object)["b"][2], "x");
    auto array = JSONSerialization::parse(" [1, 2] ");
    ASSERT_TRUE(array);
    EXPECT_EQ(array->size(), 2u);
}

TEST(JSONSerializationTest, MalformedTextFailsWithAReadableDescriptionAndTheParsersDetail) {
    for (std::string_view text : {"<html>oops</html>", "", "{\"a\":", "{} trailing", "\xff\xfe"}) {
        Error error;
        EXPECT_FALSE(JSONSerialization::parse(text, &error)) << text;
        EXPECT_EQ(error.domain, kCocoaErrorDomain);
        EXPECT_EQ(error.code, kJSONReadingErrorCode);
        EXPECT_EQ(error.localizedDescription, "The data couldn’t be read because it isn’t in the correct format.");
        EXPECT_FALSE(error.userInfo.value("NSDebugDescription", "").empty());
        EXPECT_NO_THROW(error.description());
    }
}

TEST(JSONSerializationTest, BareValuesAtTheTopLevelAreRefused) {
    for (std::string_view text : {"42", "\"text\"", "true", "null"}) {
        Error error;
        EXPECT_FALSE(JSONSerialization::parse(text, &error)) << text;
        EXPECT_EQ(error.code, kJSONReadingErrorCode);
    }
}

TEST(JSONSerializationTest, StringsMustBeUtf8) {
    EXPECT_FALSE(JSONSerialization::parse("{\"a\":\"\xc3\x28\"}"));
    EXPECT_TRUE(JSONSerialization::parse("{\"a\":\"\xc3\xa9\"}"));
}

TEST(JSONSerializationTest, NestingBeyondTheLimitIsRefusedWithoutExhaustingTheStack) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(JSONSerialization::parse(nested(JSONSerialization::kMaximumDepth)));
    Error error;
    EXPECT_FALSE(JSONSerialization::parse(nested(JSONSerialization::kMaximumDepth + 2), &error));
    EXPECT_NE(error.userInfo.value("NSDebugDescription", "").find("nested"), std::string::npos);
    EXPECT_FALSE(JSONSerialization::parse(std::string(200000, '[')));
}

TEST(JSONSerializationTest, WritingIsCompactAndRefusesInvalidUtf8) {
    EXPECT_EQ(JSONSerialization::serialize({{"productId", "88"}}), R"({"productId":"88"})");
    EXPECT_EQ(JSONSerialization::serialize({{"productId", "商品"}}), "{\"productId\":\"商品\"}");
    Error error;
    EXPECT_FALSE(JSONSerialization::serialize({{"productId", "\xff"}}, &error));
    EXPECT_EQ(error.domain, kCocoaErrorDomain);
    EXPECT_FALSE(error.localizedDescription.empty());
}

TEST(ErrorDescriptionTest, NamesDomainCodeTextAndDetail) {
    Error error{"NSURLErrorDomain", -1001, "The request timed out.", {{"detail", "slow"}}};
    EXPECT_EQ(error.description(),
              R"(Error Domain=NSURLErrorDomain Code=-1001 "The request timed out." UserInfo={"detail":"slow"})");
    EXPECT_EQ(Error({"D", 1, "x", nlohmann::json::object()}).description(), R"(Error Domain=D Code=1 "x")");
}

} // namespace
