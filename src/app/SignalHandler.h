#pragma once
// Turns SIGTERM and SIGINT into a call on the main thread (a self-pipe read by the event loop), so a
// signal becomes an ordinary quit request.

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace vesk {

class SignalHandler : public QObject {
    Q_OBJECT
public:
    explicit SignalHandler(std::function<void(int)> onSignal, QObject *parent = nullptr);
    ~SignalHandler() override;

private:
    void readSignal();
    std::function<void(int)> fOnSignal;
    QSocketNotifier *fNotifier = nullptr;
};

} // namespace vesk
