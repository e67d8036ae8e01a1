#include "MultipartParser.h"

#include "HeaderText.h"

#include <algorithm>
#include <cstring>

namespace vesk::service {

namespace {

constexpr size_t kMaxHeaderBlock = 16 * 1024;
constexpr size_t kMaxDelimiterPadding = 256;
constexpr std::string_view kCrLf = "\r\n";

size_t find(const std::string &haystack, const std::string &needle)
{
    const void *at = memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
    return at ? size_t(static_cast<const char *>(at) - haystack.data()) : std::string::npos;
}

} // namespace

std::string headerMainValue(std::string_view header)
{
    const size_t semicolon = header.find(';');
    return lowered(trimmed(header.substr(0, semicolon)));
}

std::optional<std::string> headerParameter(std::string_view header, std::string_view name)
{
    const std::string wanted = lowered(name);
    size_t i = header.find(';');
    while (i != std::string_view::npos && i < header.size()) {
        ++i; // past the ';'
        const size_t keyStart = i;
        while (i < header.size() && header[i] != '=' && header[i] != ';')
            ++i;
        const std::string key = lowered(trimmed(header.substr(keyStart, i - keyStart)));
        if (i >= header.size() || header[i] == ';')
            continue; // a parameter without a value
        ++i; // past the '='
        while (i < header.size() && (header[i] == ' ' || header[i] == '\t'))
            ++i;
        std::string value;
        if (i < header.size() && header[i] == '"') {
            ++i;
            while (i < header.size() && header[i] != '"') {
                if (header[i] == '\\' && i + 1 < header.size() && (header[i + 1] == '"' || header[i + 1] == '\\'))
                    ++i;
                value += header[i++];
            }
            if (i < header.size())
                ++i; // the closing quote
            while (i < header.size() && header[i] != ';')
                ++i;
        } else {
            const size_t valueStart = i;
            while (i < header.size() && header[i] != ';')
                ++i;
            value = std::string(trimmed(header.substr(valueStart, i - valueStart)));
        }
        if (key == wanted)
            return value;
    }
    return std::nullopt;
}

MultipartParser::MultipartParser(std::string_view boundary)
    : fDelimiter(std::string("\r\n--") + std::string(boundary))
    // A body may open directly with the first delimiter line, which then lacks the CR LF that
    // every later delimiter has; starting from a CR LF makes both cases one.
    , fBuffer(kCrLf)
{
    if (boundary.empty())
        fail("empty boundary");
}

bool MultipartParser::fail(std::string why)
{
    fState = State::Failed;
    fError = std::move(why);
    fBuffer.clear();
    return false;
}

bool MultipartParser::feed(const char *data, size_t size)
{
    if (fState == State::Failed)
        return false;
    if (fState == State::Done)
        return true;
    fBuffer.append(data, size);
    return process();
}

bool MultipartParser::process()
{
    for (;;) {
        switch (fState) {
        case State::Preamble: {
            const size_t at = find(fBuffer, fDelimiter);
            if (at == std::string::npos) {
                // Keep only what could still be the start of the delimiter.
                if (fBuffer.size() >= fDelimiter.size())
                    fBuffer.erase(0, fBuffer.size() - (fDelimiter.size() - 1));
                return true;
            }
            fBuffer.erase(0, at + fDelimiter.size());
            fState = State::AfterDelimiter;
            break;
        }
        case State::AfterDelimiter: {
            if (fBuffer.size() < 2)
                return true;
            if (fBuffer.compare(0, 2, "--") == 0) {
                fState = State::Done;
                fBuffer.clear();
                return true;
            }
            // Transport padding (blanks) may stand between the boundary and the line end.
            size_t i = 0;
            while (i < fBuffer.size() && (fBuffer[i] == ' ' || fBuffer[i] == '\t'))
                ++i;
            if (i + 2 > fBuffer.size()) {
                if (fBuffer.size() > kMaxDelimiterPadding)
                    return fail("malformed delimiter line");
                return true;
            }
            if (fBuffer.compare(i, 2, kCrLf) != 0)
                return fail("malformed delimiter line");
            fBuffer.erase(0, i + 2);
            fState = State::Headers;
            break;
        }
        case State::Headers: {
            size_t blockEnd = 0;
            size_t consumed = 0;
            if (fBuffer.compare(0, 2, kCrLf) == 0) {
                consumed = 2; // a part without headers
            } else {
                const size_t at = fBuffer.find("\r\n\r\n");
                if (at == std::string::npos) {
                    if (fBuffer.size() > kMaxHeaderBlock)
                        return fail("part headers too long");
                    return true;
                }
                blockEnd = at;
                consumed = at + 4;
            }
            if (!parseHeaderBlock(std::string_view(fBuffer).substr(0, blockEnd)))
                return false;
            fBuffer.erase(0, consumed);
            if (onPartBegin && !onPartBegin(fPart))
                return fail("part refused");
            fState = State::Body;
            break;
        }
        case State::Body: {
            const size_t at = find(fBuffer, fDelimiter);
            if (at == std::string::npos) {
                const size_t keep = std::min(fBuffer.size(), fDelimiter.size() - 1);
                const size_t ready = fBuffer.size() - keep;
                if (ready > 0) {
                    if (onPartData && !onPartData(fBuffer.data(), ready))
                        return fail("part data refused");
                    fBuffer.erase(0, ready);
                }
                return true;
            }
            if (at > 0 && onPartData && !onPartData(fBuffer.data(), at))
                return fail("part data refused");
            fBuffer.erase(0, at + fDelimiter.size());
            if (onPartEnd && !onPartEnd())
                return fail("part refused");
            fState = State::AfterDelimiter;
            break;
        }
        case State::Done:
            fBuffer.clear();
            return true;
        case State::Failed:
            return false;
        }
    }
}

bool MultipartParser::parseHeaderBlock(std::string_view block)
{
    fPart = PartHeader();
    bool sawDisposition = false;
    while (!block.empty()) {
        const size_t end = block.find(kCrLf);
        const std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return fail("malformed part header");
        const std::string name = lowered(trimmed(line.substr(0, colon)));
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (name == "content-disposition") {
            if (headerMainValue(value) != "form-data")
                return fail("part is not form data");
            sawDisposition = true;
            fPart.name = headerParameter(value, "name").value_or(std::string());
            if (auto filename = headerParameter(value, "filename")) {
                fPart.filename = std::move(*filename);
                fPart.hasFilename = true;
            }
        } else if (name == "content-type") {
            fPart.contentType = std::string(value);
        }
    }
    if (!sawDisposition)
        return fail("part without Content-Disposition");
    return true;
}

} // namespace vesk::service
