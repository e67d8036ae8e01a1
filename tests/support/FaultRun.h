#pragma once
// One fault scenario against the real program: the scenario's folders, service and tracked
// pictures (Scenario), with the uploader started headless as a separate process so that it can be
// killed.

#include "ChannelTestSupport.h"
#include "Scenario.h"

#include <QMap>

namespace vesk::test {

class FaultRun : public Scenario {
public:
    explicit FaultRun(const QStringList &serviceArguments = {});
    ~FaultRun() override;

    // Starts vesk-ftpuploader --headless --endpoint <service> [programArguments] <source>, with the time scale and the
    // HTTP time-outs of the run; output is appended to files of the run.
    bool startProgram();
    // SIGTERM and a bounded wait; true when it ended by itself with status 0.
    bool stopProgram(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // SIGKILL, and waits until it is gone.
    void killProgram();
    bool programRunning() const;
    QString programOutput() const; // standard output of every start so far
    QString programErrors() const; // standard error (the console) of every start so far
    // Every uploader process of this profile (its runtime folder), the relaunched ones included,
    // which the test did not start itself; the destructor kills them all.
    QList<qint64> runningInstances() const;

    // A command the program runs under (for example setpriv, to run it as another user), and further
    // environment variables for it (on top of the test's own at each start).
    QStringList programWrapper;
    QMap<QString, QString> programEnvironment;
    QStringList programArguments; // before the source folder

    double timeScale = 0.02;
    int connectTimeout = 2;
    int stallTimeout = 1;
    RunningApp program { QStringLiteral("program"), profile.path({}) }; // program.out, program.err

protected:
    QString gaveUp() const override;

private:
    bool fStarted = false;
};

} // namespace vesk::test
