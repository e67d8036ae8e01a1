// vesk-ctl: sends one event to the running Vesk-FTPUploader over its command channel and prints
// the reply.

#include "scripting/CommandClient.h"
#include "scripting/CommandProtocol.h"

#include <QFileInfo>
#include <QHash>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cmath>
#include <cstdio>

using namespace vesk;

// Watching.cpp: status, events and history; none for any other command.
std::optional<int> runWatchingCommand(const QStringList &words, bool json, double timeoutSeconds);

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCommandFailed = 1;
constexpr int kExitNoAnswer = 2;
constexpr int kExitUsage = 2;

const char *const kUsage
    = "Usage: vesk-ctl [--json] [--timeout SECONDS] COMMAND [ARGUMENT...]\n"
      "\n"
      "Sends one command to the running Vesk-FTPUploader and prints its reply: a text as it is,\n"
      "a list one text per line.\n"
      "\n"
      "Commands (the short event names and the words beside them do the same):\n"
      "  upnw, sync               start a pass now (Synchronize Again); answered ACCEPTED even\n"
      "                           while halted, when only the pass itself is refused; like\n"
      "                           retry, every waiting picture is due at once\n"
      "  retry                    Retry Now: every picture waiting for a retry is due at once,\n"
      "                           a service that is away is asked at once, and a pass starts\n"
      "                           (not while halted or uploading); answers ACCEPTED\n"
      "  paus, pause              pause once the current picture is done (nothing when idle)\n"
      "  resume, resm             resume a paused cycle, or call off a pause still waiting\n"
      "  quit                     quit the application\n"
      "  open FOLDER              start a pass over FOLDER\n"
      "  folders SOURCE MIRROR    set the source and mirror folders, checked as the panel does\n"
      "  setValue KEY [VALUE]     change a preference (the word is sent as typed, in any case)\n"
      "  getValue KEY             read a preference\n"
      "  send CLASS ID [TEXT...]  send any event: four-character class and ID, texts as its list\n"
      "  status                   what the uploader is doing (--json: the reply line)\n"
      "  events                   one JSON line per outcome as it happens, until interrupted\n"
      "  history [N]              the last N outcomes (20), from the history file (--json: its lines)\n"
      "  metrics                  the figures in the Prometheus text format (as the program's\n"
      "                           --metrics-textfile has them)\n"
      "\n"
      "A refusal's reason, when the application gives one, goes to standard error.\n"
      "\n"
      "Options:\n"
      "  --json               print the reply line exactly as received\n"
      "  --timeout SECONDS    how long to wait for the reply (default 10)\n"
      "  --version            print the version and exit\n"
      "  --help               print this help and exit\n"
      "  --                   what follows is not an option\n"
      "\n"
      "Exit status: 0 for a reply other than \"COMMAND FAILED\" (or no reply), 1 for\n"
      "\"COMMAND FAILED\" or a request the application refused, 2 when no instance answers,\n"
      "when events finds no room (too many listeners) or for a bad command line.\n";

struct Invocation {
    bool json = false;
    bool help = false;
    bool version = false;
    double timeoutSeconds = 10.0;
    QStringList words; // the command and its arguments
    QString error;
};

Invocation parseArguments(int argc, char **argv)
{
    Invocation invocation;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        // Only double-dash words are options: a value such as -5 is an argument.
        if (optionsEnded || !arg.startsWith(QLatin1String("--"))) {
            invocation.words.append(arg);
        } else if (arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (arg == QLatin1String("--json")) {
            invocation.json = true;
        } else if (arg == QLatin1String("--help")) {
            invocation.help = true;
        } else if (arg == QLatin1String("--version")) {
            invocation.version = true;
        } else if (arg == QLatin1String("--timeout") || arg.startsWith(QLatin1String("--timeout="))) {
            QString value;
            if (arg.contains(QLatin1Char('='))) {
                value = arg.section(QLatin1Char('='), 1);
            } else if (i + 1 < argc) {
                value = QString::fromLocal8Bit(argv[++i]);
            }
            bool ok = false;
            invocation.timeoutSeconds = value.toDouble(&ok);
            if (!ok || !(invocation.timeoutSeconds > 0) || invocation.timeoutSeconds > 86400) {
                invocation.error = QStringLiteral("--timeout needs a number of seconds");
                return invocation;
            }
        } else {
            invocation.error = QStringLiteral("unknown option %1").arg(arg);
            return invocation;
        }
    }
    return invocation;
}

// The request for the command words, or an error for the usage message.
std::optional<CommandRequest> requestFor(const QStringList &words, QString *error)
{
    if (words.isEmpty()) {
        *error = QStringLiteral("no command given");
        return std::nullopt;
    }
    QString command = words.first().toLower();
    // The words beside the events' short names.
    static const QHash<QString, QString> kWords { { QStringLiteral("sync"), QStringLiteral("upnw") },
        { QStringLiteral("synchronize"), QStringLiteral("upnw") }, { QStringLiteral("pause"), QStringLiteral("paus") },
        { QStringLiteral("resm"), QStringLiteral("resume") } };
    command = kWords.value(command, command);
    const QStringList arguments = words.mid(1);
    auto wrongCount = [&](const char *form) {
        *error = QStringLiteral("usage: vesk-ctl %1").arg(QLatin1String(form));
        return std::nullopt;
    };
    CommandRequest request;
    if (command == QLatin1String("upnw") || command == QLatin1String("paus") || command == QLatin1String("resume")
        || command == QLatin1String("retry")) {
        if (!arguments.isEmpty())
            return wrongCount(command.toLatin1().constData());
        request.eventClass = kVeskEventClass;
        request.eventID = command == QLatin1String("upnw") ? kVeskSynchronizeNow
            : command == QLatin1String("paus")             ? kVeskPause
            : command == QLatin1String("retry")            ? kVeskRetryNow
                                                           : kVeskResume;
    } else if (command == QLatin1String("metrics")) {
        if (!arguments.isEmpty())
            return wrongCount("metrics");
        request.eventClass = kVeskEventClass;
        request.eventID = kVeskMetrics;
    } else if (command == QLatin1String("quit")) {
        if (!arguments.isEmpty())
            return wrongCount("quit");
        request.eventClass = kCoreEventClass;
        request.eventID = kAEQuitApplication;
    } else if (command == QLatin1String("open")) {
        if (arguments.size() != 1 || arguments.first().isEmpty())
            return wrongCount("open FOLDER");
        request.eventClass = kCoreEventClass;
        request.eventID = kAEOpenDocuments;
        request.params = QStringList { QFileInfo(arguments.first()).absoluteFilePath() };
    } else if (command == QLatin1String("folders")) {
        if (arguments.size() != 2 || arguments.at(0).isEmpty() || arguments.at(1).isEmpty())
            return wrongCount("folders SOURCE MIRROR");
        request.eventClass = kVeskEventClass;
        request.eventID = kVeskFolders;
        request.params = QStringList { QFileInfo(arguments.at(0)).absoluteFilePath(),
            QFileInfo(arguments.at(1)).absoluteFilePath() };
    } else if (command == QLatin1String("setvalue")) {
        if (arguments.size() < 1 || arguments.size() > 2)
            return wrongCount("setValue KEY [VALUE]");
        request.eventClass = kVeskEventClass;
        request.eventID = kVeskPreferenceCommand;
        request.params = QStringList { words.first() } + arguments;
    } else if (command == QLatin1String("getvalue")) {
        if (arguments.size() != 1)
            return wrongCount("getValue KEY");
        request.eventClass = kVeskEventClass;
        request.eventID = kVeskPreferenceCommand;
        request.params = QStringList { words.first() } + arguments;
    } else if (command == QLatin1String("send")) {
        if (arguments.size() < 2)
            return wrongCount("send CLASS ID [TEXT...]");
        const std::optional<FourCharCode> eventClass = fourCharCodeFromText(arguments.at(0));
        const std::optional<FourCharCode> eventID = fourCharCodeFromText(arguments.at(1));
        if (!eventClass || !eventID) {
            *error = QStringLiteral("CLASS and ID are four printable ASCII characters each");
            return std::nullopt;
        }
        request.eventClass = *eventClass;
        request.eventID = *eventID;
        if (arguments.size() > 2)
            request.params = arguments.mid(2);
    } else {
        *error = QStringLiteral("unknown command \"%1\" (vesk-ctl --help lists the commands)").arg(words.first());
        return std::nullopt;
    }
    return request;
}

void printLine(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
}

} // namespace

int main(int argc, char **argv)
{
    const Invocation invocation = parseArguments(argc, argv);
    if (!invocation.error.isEmpty()) {
        printLine(stderr, QStringLiteral("vesk-ctl: %1").arg(invocation.error));
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (invocation.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (invocation.version) {
        std::printf("vesk-ctl %s\n", VESK_VERSION);
        return kExitOk;
    }
    if (const std::optional<int> watched
        = runWatchingCommand(invocation.words, invocation.json, invocation.timeoutSeconds))
        return *watched;
    QString error;
    const std::optional<CommandRequest> request = requestFor(invocation.words, &error);
    if (!request) {
        // One line says what is wrong; the whole help only when no command was given.
        printLine(stderr, QStringLiteral("vesk-ctl: %1").arg(error));
        if (invocation.words.isEmpty())
            std::fputs(kUsage, stderr);
        return kExitUsage;
    }

    const auto limit = std::chrono::milliseconds(std::llround(invocation.timeoutSeconds * 1000.0));
    const CommandExchange exchange = exchangeCommand(defaultCommandSocketPath(), encodeCommandRequest(*request), limit);
    if (exchange.status != CommandExchange::Status::Answered) {
        printLine(stderr, QStringLiteral("vesk-ctl: no running instance answers: %1").arg(exchange.error));
        return kExitNoAnswer;
    }

    const ReplyParseResult reply = parseReplyLine(exchange.replyLine);
    if (invocation.json) {
        std::fwrite(exchange.replyLine.constData(), 1, static_cast<size_t>(exchange.replyLine.size()), stdout);
        std::fputc('\n', stdout);
    }
    switch (reply.kind) {
    case ReplyParseResult::Kind::Invalid:
        printLine(stderr, QStringLiteral("vesk-ctl: unreadable reply: %1").arg(reply.error));
        return kExitNoAnswer;
    case ReplyParseResult::Kind::Error:
        if (!invocation.json)
            printLine(stderr, QStringLiteral("vesk-ctl: %1").arg(reply.error));
        return kExitCommandFailed;
    case ReplyParseResult::Kind::Reply:
        break;
    }
    const QStringList texts = reply.reply.flattened();
    if (!invocation.json) {
        for (const QString &text : texts)
            printLine(stdout, text);
        if (!reply.reason.isEmpty())
            printLine(stderr, QStringLiteral("vesk-ctl: %1").arg(reply.reason));
    }
    return !texts.isEmpty() && texts.first() == QLatin1String("COMMAND FAILED") ? kExitCommandFailed : kExitOk;
}
