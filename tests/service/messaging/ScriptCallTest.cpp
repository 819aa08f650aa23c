// The script calls between the facade and the socket page: the texts the builders write, the escaping
// of their arguments, and the host's parser, which must take back exactly what the builders write.
#include <gtest/gtest.h>
#include "service/messaging/ScriptCall.h"

using zqmessaging::parseScriptCall;
using zqmessaging::ScriptCall;

namespace {

const std::string kLineSeparator = "\xE2\x80\xA8";
const std::string kParagraphSeparator = "\xE2\x80\xA9";

TEST(ScriptCall, BuildersWriteThePageCalls) {
    EXPECT_EQ(zqmessaging::socketIOEmitScript("chat_message", "hello"), "socketIOEmit('chat_message','hello')");
    EXPECT_EQ(zqmessaging::socketIOEmitScript("room_user_count", ""), "socketIOEmit('room_user_count','')");
    EXPECT_EQ(zqmessaging::socketIOEmitWithOutBufferScript("pi", ""), "socketIOEmitWithOutBuffer('pi','')");
    EXPECT_EQ(zqmessaging::socketIOConnectScript("http://h:8480/r1", "http://s:8480/r1", "key", "3", "1"),
              "socketIOConnect('http://h:8480/r1','http://s:8480/r1','key','3','1')");
    EXPECT_EQ(zqmessaging::socketCloseScript(), "socketClose()");
}

TEST(ScriptCall, EscapesAsASingleQuotedLiteral) {
    EXPECT_EQ(zqmessaging::escapeScriptString("it's"), "it\\'s");
    EXPECT_EQ(zqmessaging::escapeScriptString("say \"hi\""), "say \\\"hi\\\"");
    EXPECT_EQ(zqmessaging::escapeScriptString("a\\b"), "a\\\\b");
    EXPECT_EQ(zqmessaging::escapeScriptString("one\ntwo\rthree"), "one\\ntwo\\rthree");
    EXPECT_EQ(zqmessaging::escapeScriptString("x" + kLineSeparator + "y" + kParagraphSeparator),
              "x\\u2028y\\u2029");
    // Everything else stays as it is, tabs, emoji and markup included.
    EXPECT_EQ(zqmessaging::escapeScriptString("\t</script>😀中"), "\t</script>😀中");
    // Ill-formed UTF-8 cannot reach the page: it becomes U+FFFD.
    EXPECT_EQ(zqmessaging::escapeScriptString("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

TEST(ScriptCall, AnyTextRoundTripsByteForByte) {
    std::string everyAscii;
    for (int c = 0; c < 128; ++c) everyAscii += static_cast<char>(c);
    const std::vector<std::string> texts = {
        "",
        "it's \"quoted\"",
        "back\\slash\\",
        "\\'",
        "line\nbreak\r\n",
        "</script><script>alert('x')</script>",
        "emoji 😀👍🏽 and 中文",
        kLineSeparator + kParagraphSeparator,
        everyAscii,
        std::string("nul\0inside", 10),
        "{\"fromuserid\":\"1\",\"msg\":\"it's\"}",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        auto call = parseScriptCall(zqmessaging::socketIOEmitScript("chat_message", text));
        ASSERT_TRUE(call);
        EXPECT_EQ(call->function, ScriptCall::Function::SocketIOEmit);
        EXPECT_EQ(call->arguments, (std::vector<std::string>{"chat_message", text}));
    }
    auto connect = parseScriptCall(zqmessaging::socketIOConnectScript("u'", "s\\", "k\n", "3", "1"));
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->function, ScriptCall::Function::SocketIOConnect);
    EXPECT_EQ(connect->arguments, (std::vector<std::string>{"u'", "s\\", "k\n", "3", "1"}));
    auto unbuffered = parseScriptCall(zqmessaging::socketIOEmitWithOutBufferScript("pi", ""));
    ASSERT_TRUE(unbuffered);
    EXPECT_EQ(unbuffered->function, ScriptCall::Function::SocketIOEmitWithOutBuffer);
    auto close = parseScriptCall(zqmessaging::socketCloseScript());
    ASSERT_TRUE(close);
    EXPECT_EQ(close->function, ScriptCall::Function::SocketClose);
    EXPECT_TRUE(close->arguments.empty());
}

TEST(ScriptCall, ParserAllowsBlanksAndASemicolon) {
    auto call = parseScriptCall("  socketIOEmit ( 'a' ,\t'b' ) ;\n");
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(parseScriptCall("socketClose( );"));
}

TEST(ScriptCall, MalformedCallsAreRejectedWhole) {
    const std::vector<std::string> bad = {
        "",
        "alert('x')",
        "socketIOEmit('a')",                              // too few arguments
        "socketIOEmit('a','b','c')",                      // too many
        "socketClose('x')",
        "socketIOEmit('a','b'",                           // no closing parenthesis
        "socketIOEmit 'a','b')",
        "socketIOEmit('a','b)",                           // unterminated string
        "socketIOEmit('a','it's')",                       // a bare quote ends the literal early
        "socketIOEmit('a','x\\ty')",                      // escapes outside the set
        "socketIOEmit('a','\\x41')",
        "socketIOEmit('a','\\u0041')",
        "socketIOEmit('a','\\u20')",
        "socketIOEmit('a','trailing\\')",
        "socketIOEmit('a','raw\nbreak')",                 // raw line breaks cannot stand in a literal
        "socketIOEmit(\"a\",\"b\")",                      // double-quoted arguments are not written by the builders
        "socketIOEmit('a','b');socketClose()",            // one call per evaluation
        "socketIOEmit('a','b') // comment",
        "socketIOEmit('a' 'b')",
        "1socketClose()",
    };
    for (const auto& script : bad) {
        std::string error;
        EXPECT_FALSE(parseScriptCall(script, &error)) << script;
        EXPECT_FALSE(error.empty()) << script;
    }
}

TEST(ScriptCall, ParserRepairsIllFormedUTF8) {
    auto call = parseScriptCall("socketIOEmit('a','x\xC3')");
    ASSERT_TRUE(call);
    EXPECT_EQ(call->arguments[1], "x\xEF\xBF\xBD");
}

} // namespace
