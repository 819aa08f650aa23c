#include "service/messaging/ScriptCall.h"

#include <array>
#include "platform/foundation/Utf8.h"

namespace zqmessaging {
namespace {

struct FunctionEntry {
    std::string_view name;
    ScriptCall::Function function;
    std::size_t arity;
};

constexpr std::array<FunctionEntry, 4> kFunctions{{
    {"socketIOConnect", ScriptCall::Function::SocketIOConnect, 5},
    {"socketIOEmit", ScriptCall::Function::SocketIOEmit, 2},
    {"socketIOEmitWithOutBuffer", ScriptCall::Function::SocketIOEmitWithOutBuffer, 2},
    {"socketClose", ScriptCall::Function::SocketClose, 0},
}};

// U+2028 and U+2029 end a line inside JavaScript source, so they cannot stand in a literal raw.
constexpr std::string_view kLineSeparator = "\xE2\x80\xA8";
constexpr std::string_view kParagraphSeparator = "\xE2\x80\xA9";

std::string call(std::string_view name, std::initializer_list<std::string_view> arguments) {
    std::string script(name);
    script += '(';
    bool first = true;
    for (auto argument : arguments) {
        if (!first) script += ',';
        first = false;
        script += '\'';
        script += escapeScriptString(argument);
        script += '\'';
    }
    script += ')';
    return script;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isIdentifierStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$'; }
bool isIdentifierPart(char c) { return isIdentifierStart(c) || (c >= '0' && c <= '9'); }

class Parser {
public:
    explicit Parser(std::string_view text) : mText(text) {}

    std::optional<ScriptCall> parse(std::string& error) {
        skipBlanks();
        std::size_t nameStart = mPos;
        if (atEnd() || !isIdentifierStart(peek())) return fail(error, "expected a function name");
        while (!atEnd() && isIdentifierPart(peek())) ++mPos;
        std::string_view name = mText.substr(nameStart, mPos - nameStart);
        const FunctionEntry* entry = nullptr;
        for (auto& candidate : kFunctions) {
            if (candidate.name == name) entry = &candidate;
        }
        if (!entry) return fail(error, "unknown function " + std::string(name));

        skipBlanks();
        if (!consume('(')) return fail(error, "expected ( after " + std::string(name));
        ScriptCall result{entry->function, {}};
        skipBlanks();
        if (!consume(')')) {
            for (;;) {
                std::string argument;
                if (!stringLiteral(argument, error)) return std::nullopt;
                result.arguments.push_back(platform::detail::validUTF8(argument));
                skipBlanks();
                if (consume(')')) break;
                if (!consume(',')) return fail(error, "expected , or ) after argument " +
                                                          std::to_string(result.arguments.size()));
                skipBlanks();
            }
        }
        skipBlanks();
        consume(';');
        skipBlanks();
        if (!atEnd()) return fail(error, "unexpected text after the call");
        if (result.arguments.size() != entry->arity) {
            return fail(error, std::string(name) + " takes " + std::to_string(entry->arity) + " arguments, not " +
                                   std::to_string(result.arguments.size()));
        }
        return result;
    }

private:
    bool atEnd() const { return mPos >= mText.size(); }
    char peek() const { return mText[mPos]; }
    bool consume(char c) {
        if (atEnd() || peek() != c) return false;
        ++mPos;
        return true;
    }
    void skipBlanks() {
        while (!atEnd() && isBlank(peek())) ++mPos;
    }
    std::nullopt_t fail(std::string& error, std::string reason) {
        error = std::move(reason) + " (at " + std::to_string(mPos) + ")";
        return std::nullopt;
    }
    bool reject(std::string& error, std::string reason) {
        fail(error, std::move(reason));
        return false;
    }

    bool stringLiteral(std::string& out, std::string& error) {
        if (!consume('\'')) return reject(error, "expected a quoted argument");
        for (;;) {
            if (atEnd()) return reject(error, "unterminated string");
            char c = mText[mPos++];
            if (c == '\'') return true;
            if (c == '\n' || c == '\r') return reject(error, "line break inside a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd()) return reject(error, "unterminated string");
            char escaped = mText[mPos++];
            switch (escaped) {
            case '\\': out += '\\'; break;
            case '\'': out += '\''; break;
            case '"': out += '"'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 'u': {
                std::string_view digits = mText.substr(mPos, 4);
                if (digits == "2028") {
                    out += kLineSeparator;
                } else if (digits == "2029") {
                    out += kParagraphSeparator;
                } else {
                    return reject(error, "unsupported escape \\u" + std::string(digits));
                }
                mPos += 4;
                break;
            }
            default:
                return reject(error, std::string("unsupported escape \\") + escaped);
            }
        }
    }

    std::string_view mText;
    std::size_t mPos = 0;
};

} // namespace

std::string escapeScriptString(std::string_view text) {
    std::string valid = platform::detail::validUTF8(text);
    std::string out;
    out.reserve(valid.size() + 8);
    for (std::size_t i = 0; i < valid.size(); ++i) {
        char c = valid[i];
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\'': out += "\\'"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: {
            std::string_view rest = std::string_view(valid).substr(i);
            if (rest.starts_with(kLineSeparator)) {
                out += "\\u2028";
                i += 2;
            } else if (rest.starts_with(kParagraphSeparator)) {
                out += "\\u2029";
                i += 2;
            } else {
                out += c;
            }
        }
        }
    }
    return out;
}

std::string socketIOConnectScript(std::string_view url, std::string_view spareUrl, std::string_view sessionId,
                                  std::string_view platform, std::string_view terminal) {
    return call("socketIOConnect", {url, spareUrl, sessionId, platform, terminal});
}

std::string socketIOEmitScript(std::string_view event, std::string_view message) {
    return call("socketIOEmit", {event, message});
}

std::string socketIOEmitWithOutBufferScript(std::string_view event, std::string_view message) {
    return call("socketIOEmitWithOutBuffer", {event, message});
}

std::string socketCloseScript() { return "socketClose()"; }

std::optional<ScriptCall> parseScriptCall(std::string_view script, std::string* error) {
    std::string reason;
    auto result = Parser(script).parse(reason);
    if (!result && error) *error = std::move(reason);
    return result;
}

} // namespace zqmessaging
