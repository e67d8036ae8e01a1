#pragma once
// Helpers for the housekeeping tests: small real pictures with metadata written by exiv2, file dates,
// a capture of standard error, and plain fakes of the utility panel's outlets.

#include "app/Outlets.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vesk::test {

// A small real picture made with Qt.
bool makeJpeg(const QString &path);
bool makePng(const QString &path);

// Writes EXIF entries ("Exif.Photo.DateTimeOriginal" = "2009:11:17 14:03:22") into the picture.
bool writeExif(const QString &path, const std::vector<std::pair<std::string, std::string>> &entries);
// Writes the EXIF user comment; comment is exiv2's form, e.g. "charset=Unicode <plist>...".
bool writeUserComment(const QString &path, const std::string &comment);

// Sets a file's access and modification times (a link is followed).
bool setFileTimes(const QString &path, const QDateTime &modification);

// The utility panel's outlets, recording what they are asked to do. Main thread.
class FakeWindow : public WindowOutlet {
public:
    bool isVisible() const override { return fVisible.load(); }
    void orderFront() override { fVisible = true; }
    void orderBack() override
    {
        fVisible = true;
        ++fOrderBackCount;
    }
    void close() override
    {
        fVisible = false;
        ++fCloseCount;
    }
    std::atomic<bool> fVisible { false };
    std::atomic<int> fOrderBackCount { 0 };
    std::atomic<int> fCloseCount { 0 };
};

class FakeTextField : public TextFieldOutlet {
public:
    explicit FakeTextField(WindowOutlet *window)
        : fWindow(window)
    { }
    WindowOutlet *window() const override { return fWindow; }
    void setText(const QString &text) override
    {
        {
            std::lock_guard<std::mutex> guard(fLock);
            fTexts.append(text);
        }
        if (fOnSetText)
            fOnSetText(text);
    }
    QString text() const override
    {
        std::lock_guard<std::mutex> guard(fLock);
        return fTexts.isEmpty() ? QString() : fTexts.last();
    }
    void setTextColor(bool) override { }
    QStringList texts() const
    {
        std::lock_guard<std::mutex> guard(fLock);
        return fTexts;
    }
    std::function<void(const QString &)> fOnSetText;

private:
    WindowOutlet *fWindow;
    mutable std::mutex fLock;
    QStringList fTexts;
};

class FakeProgress : public ProgressOutlet {
public:
    explicit FakeProgress(WindowOutlet *window)
        : fWindow(window)
    { }
    WindowOutlet *window() const override { return fWindow; }
    void setIndeterminate(bool) override { }
    void startAnimation() override
    {
        fAnimating = true;
        ++fStarts;
    }
    void stopAnimation() override { fAnimating = false; }
    std::atomic<bool> fAnimating { false };
    std::atomic<int> fStarts { 0 };

private:
    WindowOutlet *fWindow;
};

} // namespace vesk::test
