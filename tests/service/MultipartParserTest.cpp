// The incremental multipart parser: the uploader's exact body and curl's, whatever the network's pieces.

#include "MultipartParser.h"
#include "ServiceClient.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

#include <string>
#include <vector>

using namespace vesk::service;
using vesk::test::FormField;
using vesk::test::uploaderBody;

namespace {

struct Part {
    PartHeader header;
    std::string data;
    bool ended = false;
};

struct Parsed {
    std::vector<Part> parts;
    bool complete = false;
    bool failed = false;
};

// Feeds the body in pieces of the given size and records what comes out.
Parsed parse(const std::string &boundary, const QByteArray &body, qsizetype piece)
{
    Parsed result;
    MultipartParser parser(boundary);
    parser.onPartBegin = [&](const PartHeader &header) {
        result.parts.push_back({ header, {}, false });
        return true;
    };
    parser.onPartData = [&](const char *data, size_t size) {
        result.parts.back().data.append(data, size);
        return true;
    };
    parser.onPartEnd = [&] {
        result.parts.back().ended = true;
        return true;
    };
    for (qsizetype at = 0; at < body.size(); at += piece) {
        if (!parser.feed(body.constData() + at, size_t(std::min(piece, body.size() - at))))
            break;
    }
    result.complete = parser.isComplete();
    result.failed = parser.hasFailed();
    return result;
}

// Picture bytes that hold near-misses of the delimiter, including one cut by a piece boundary.
QByteArray trickyPicture()
{
    QByteArray bytes("\xff\xd8\xff\xe0", 4);
    bytes += "\r\n--0xKhTmLbOuNd"; // a delimiter's start, then other bytes
    bytes += "--0xKhTmLbOuNdArY\r\n"; // the boundary without the CR LF before it
    bytes += "\r\n--0xKhTmLbOuNdArX\r\n"; // one letter off
    bytes += QByteArray(300, '\r');
    bytes += "\r\n-";
    bytes += "\xff\xd9";
    return bytes;
}

const QList<FormField> kUploaderFields = {
    { "username", "photographer" },
    { "password", "p@ss:word" },
    { "event", "Wedding" },
    { "client", "Vesk-FTPUploader 1.0" },
    { "capturetime", "2026:06:14 15:02:33" },
    { "metadata", "" },
    { "fuseaction", "upload" },
    { "emails", "a@example.org,b@example.org" },
    { "localfilelocation", "/home/me/Pictures/IMG_0001.JPG" },
    { "Submit", "Upload" },
};

void expectUploaderParts(const Parsed &parsed, const QByteArray &picture)
{
    ASSERT_TRUE(parsed.complete);
    ASSERT_FALSE(parsed.failed);
    ASSERT_EQ(parsed.parts.size(), size_t(kUploaderFields.size() + 1));
    for (qsizetype i = 0; i < kUploaderFields.size(); ++i) {
        const Part &part = parsed.parts[size_t(i)];
        EXPECT_EQ(part.header.name, kUploaderFields[i].name.toStdString());
        EXPECT_EQ(part.data, kUploaderFields[i].value.toStdString());
        EXPECT_FALSE(part.header.hasFilename);
        EXPECT_TRUE(part.ended);
    }
    const Part &file = parsed.parts.back();
    EXPECT_EQ(file.header.name, "imgfile");
    EXPECT_TRUE(file.header.hasFilename);
    EXPECT_EQ(file.header.filename, "IMG_0001.JPG");
    EXPECT_EQ(file.header.contentType, "image/jpeg");
    EXPECT_EQ(file.data, picture.toStdString());
    EXPECT_TRUE(file.ended);
}

} // namespace

TEST(MultipartParser, UploaderBodyWithLeadingCrLfParsesAlikeInAnyPieces)
{
    const QByteArray picture = trickyPicture();
    const QByteArray body = uploaderBody(kUploaderFields, "IMG_0001.JPG", picture);
    ASSERT_TRUE(body.startsWith("\r\n--0xKhTmLbOuNdArY\r\n"));
    for (qsizetype piece : { 1, 2, 3, 5, 7, 16, 17, 18, 19, 20, 64, 4096, 1 << 20 }) {
        SCOPED_TRACE(piece);
        expectUploaderParts(parse("0xKhTmLbOuNdArY", body, piece), picture);
    }
}

TEST(MultipartParser, LargePictureStreamsInPieces)
{
    QByteArray picture(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char &c : picture)
        c = char(generator.bounded(256));
    const QByteArray body = uploaderBody(kUploaderFields, "IMG_0001.JPG", picture);

    size_t largestPiece = 0;
    std::string received;
    MultipartParser parser("0xKhTmLbOuNdArY");
    parser.onPartData = [&](const char *data, size_t size) {
        largestPiece = std::max(largestPiece, size);
        received.append(data, size);
        return true;
    };
    for (qsizetype at = 0; at < body.size(); at += 65536)
        ASSERT_TRUE(parser.feed(body.constData() + at, size_t(std::min<qsizetype>(65536, body.size() - at))));
    EXPECT_TRUE(parser.isComplete());
    EXPECT_NE(received.find(picture.toStdString()), std::string::npos);
    // Nothing is held back beyond a delimiter's length: data leaves as it arrives.
    EXPECT_LE(largestPiece, size_t(65536 + 64));
}

TEST(MultipartParser, CurlStyleBodyWithoutPreambleAndWithEpilogue)
{
    const QByteArray body = "--------------------------d74496d66958873e\r\n"
                            "Content-Disposition: form-data; name=\"event\"\r\n\r\n"
                            "Garden Party\r\n"
                            "--------------------------d74496d66958873e\r\n"
                            "Content-Disposition: form-data; name=\"empty\"\r\n\r\n"
                            "\r\n"
                            "--------------------------d74496d66958873e\r\n"
                            "content-disposition: FORM-DATA; NAME=imgfile; FILENAME=\"a.jpg\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n"
                            "JPEGDATA\r\n"
                            "--------------------------d74496d66958873e--\r\n"
                            "epilogue that is ignored\r\n--------------------------d74496d66958873e\r\n";
    for (qsizetype piece : { 1, 9, 1000 }) {
        const Parsed parsed = parse("------------------------d74496d66958873e", body, piece);
        ASSERT_TRUE(parsed.complete);
        ASSERT_EQ(parsed.parts.size(), 3u);
        EXPECT_EQ(parsed.parts[0].data, "Garden Party");
        EXPECT_EQ(parsed.parts[1].header.name, "empty");
        EXPECT_EQ(parsed.parts[1].data, "");
        EXPECT_TRUE(parsed.parts[1].ended);
        EXPECT_EQ(parsed.parts[2].header.name, "imgfile");
        EXPECT_EQ(parsed.parts[2].header.filename, "a.jpg");
        EXPECT_EQ(parsed.parts[2].data, "JPEGDATA");
    }
}

TEST(MultipartParser, BodyCutBeforeTheClosingDelimiterIsNeverComplete)
{
    const QByteArray body = uploaderBody(kUploaderFields, "IMG_0001.JPG", trickyPicture());
    // The picture ends with the delimiter that follows it; the body with the "--" after that.
    const qsizetype pictureEnd
        = body.lastIndexOf("\r\n--0xKhTmLbOuNdArY--") + qsizetype(strlen("\r\n--0xKhTmLbOuNdArY"));
    const qsizetype closing = pictureEnd + 2;
    for (qsizetype cut = 0; cut < closing; ++cut) {
        const Parsed parsed = parse("0xKhTmLbOuNdArY", body.left(cut), 4096);
        ASSERT_FALSE(parsed.complete) << "cut at " << cut;
        ASSERT_FALSE(parsed.failed) << "cut at " << cut;
        if (cut < pictureEnd && !parsed.parts.empty() && parsed.parts.back().header.name == "imgfile") {
            ASSERT_FALSE(parsed.parts.back().ended) << "cut at " << cut;
        }
    }
    EXPECT_TRUE(parse("0xKhTmLbOuNdArY", body.left(closing), 4096).complete);
}

TEST(MultipartParser, MalformedBodiesFail)
{
    const std::string boundary = "XyZ";
    // A delimiter followed by something other than "--" or a line end.
    EXPECT_TRUE(
        parse(boundary, "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XyZjunk", 64).failed);
    // A part without Content-Disposition.
    EXPECT_TRUE(parse(boundary, "--XyZ\r\nContent-Type: text/plain\r\n\r\n1\r\n--XyZ--\r\n", 64).failed);
    // Endless part headers.
    EXPECT_TRUE(parse(boundary, "--XyZ\r\nX-Long: " + QByteArray(40000, 'a'), 1024).failed);
    // A body that never meets its boundary is only incomplete, not failed.
    const Parsed stranger = parse(boundary, "--Other\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n", 8);
    EXPECT_FALSE(stranger.failed);
    EXPECT_FALSE(stranger.complete);
    EXPECT_TRUE(stranger.parts.empty());
}

TEST(MultipartParser, RefusingCallbackStopsTheParse)
{
    MultipartParser parser("B");
    int dataCalls = 0;
    parser.onPartData = [&](const char *, size_t) {
        ++dataCalls;
        return false;
    };
    const QByteArray body = "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" + QByteArray(1000, 'x')
        + "\r\n--B\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\nyy\r\n--B--\r\n";
    EXPECT_FALSE(parser.feed(body.constData(), 600));
    EXPECT_FALSE(parser.feed(body.constData() + 600, size_t(body.size() - 600)));
    EXPECT_TRUE(parser.hasFailed());
    EXPECT_FALSE(parser.isComplete());
    EXPECT_EQ(dataCalls, 1);
}

TEST(HeaderParameter, QuotedAndPlainValues)
{
    const std::string disposition = "form-data; name=\"a;b\"; filename=\"say \\\"cheese\\\".jpg\"";
    EXPECT_EQ(headerParameter(disposition, "name"), "a;b");
    EXPECT_EQ(headerParameter(disposition, "filename"), "say \"cheese\".jpg");
    EXPECT_EQ(headerParameter(disposition, "FileName"), "say \"cheese\".jpg");
    EXPECT_EQ(headerParameter("form-data; filename=\"C:\\Photos\\a.jpg\"", "filename"), "C:\\Photos\\a.jpg");
    EXPECT_EQ(headerParameter("form-data; filename=\"\"", "filename"), "");
    EXPECT_FALSE(headerParameter("form-data; name=\"x\"", "filename").has_value());
    // "filename" must not be found inside another parameter's value or name.
    EXPECT_FALSE(headerParameter("form-data; name=\"filename=x\"", "filename").has_value());
    EXPECT_FALSE(headerParameter("form-data; xfilename=\"x\"", "filename").has_value());

    const std::string type = "Multipart/Form-Data ; charset=utf-8; boundary=0xKhTmLbOuNdArY";
    EXPECT_EQ(headerMainValue(type), "multipart/form-data");
    EXPECT_EQ(headerParameter(type, "boundary"), "0xKhTmLbOuNdArY");
    EXPECT_EQ(headerParameter("multipart/form-data; boundary=\"quoted boundary\"", "boundary"), "quoted boundary");
}
