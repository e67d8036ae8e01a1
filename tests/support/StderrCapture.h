#pragma once
// Captures what the process writes to standard error while the object lives (file descriptor 2 is
// pointed at a temporary file and restored afterwards); readable at any moment.

#include <QString>

namespace vesk::test {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    // Everything written so far.
    QString text() const;
    bool contains(const QString &part) const { return text().contains(part); }

private:
    int fSaved = -1;
    int fFile = -1;
};

} // namespace vesk::test
