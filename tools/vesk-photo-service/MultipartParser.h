#pragma once
// Incremental parser of a multipart/form-data body. Bytes go in as they arrive from the network and parts
// come out through callbacks, so a part of any size streams through without being held in memory.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vesk::service {

struct PartHeader {
    std::string name; // the form field's name
    std::string filename; // as sent, quotes and escapes removed
    bool hasFilename = false;
    std::string contentType;
};

class MultipartParser {
public:
    explicit MultipartParser(std::string_view boundary);

    // Each callback answers false to abandon the body; the parser then fails.
    std::function<bool(const PartHeader &)> onPartBegin;
    std::function<bool(const char *data, size_t size)> onPartData;
    std::function<bool()> onPartEnd;

    // Answers false once the body is malformed or a callback refused it; later calls change nothing.
    bool feed(const char *data, size_t size);
    // True once the closing delimiter has been read; whatever follows it is ignored.
    bool isComplete() const { return fState == State::Done; }
    bool hasFailed() const { return fState == State::Failed; }
    const std::string &error() const { return fError; }

private:
    enum class State { Preamble, AfterDelimiter, Headers, Body, Done, Failed };
    bool fail(std::string why);
    bool process();
    bool parseHeaderBlock(std::string_view block);

    std::string fDelimiter; // CR LF "--" boundary
    std::string fBuffer; // bytes received but not consumed yet
    State fState = State::Preamble;
    std::string fError;
    PartHeader fPart;
};

// The value of a parameter of a structured header ("multipart/form-data; boundary=x",
// "form-data; name=\"a\"; filename=\"b\""). Parameter names are case-insensitive; quoted values lose their
// quotes, and a backslash escapes a following quote or backslash.
std::optional<std::string> headerParameter(std::string_view header, std::string_view name);

// The header's leading value before any parameter, trimmed and in lower case ("multipart/form-data").
std::string headerMainValue(std::string_view header);

} // namespace vesk::service
