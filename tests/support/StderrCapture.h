#pragma once
// Captures what the process writes to standard error while the object lives (file descriptor 2 is
// pointed at a temporary file and restored afterwards).

#include <QString>

namespace vesk::test {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    // Everything written so far.
    QString text() const;

private:
    int fSaved = -1;
    int fFile = -1;
};

} // namespace vesk::test
