#include "ServiceOptions.h"

#include <QCommandLineParser>
#include <QFile>

namespace vesk::service {

namespace {

struct OutcomeName {
    Outcome outcome;
    const char *name;
};

constexpr OutcomeName kOutcomeNames[] = {
    { Outcome::Ok, "ok" },
    { Outcome::Warning, "warning" },
    { Outcome::Error, "error" },
    { Outcome::Http500, "http500" },
    { Outcome::Drop, "drop" },
    { Outcome::Hang, "hang" },
    { Outcome::Slow, "slow" },
    { Outcome::Trickle, "trickle" },
    { Outcome::Redirect307, "redirect307" },
    { Outcome::Redirect302, "redirect302" },
    { Outcome::Http404, "http404" },
    { Outcome::Http429, "http429" },
    { Outcome::Http502, "http502" },
    { Outcome::Http503, "http503" },
    { Outcome::Html200, "html200" },
};

} // namespace

const char *outcomeName(Outcome outcome)
{
    for (const auto &entry : kOutcomeNames) {
        if (entry.outcome == outcome)
            return entry.name;
    }
    return "ok";
}

std::optional<Outcome> outcomeFromName(std::string_view name)
{
    for (const auto &entry : kOutcomeNames) {
        if (name == entry.name)
            return entry.outcome;
    }
    return std::nullopt;
}

const Rule *ServiceOptions::ruleFor(const std::string &fileName) const
{
    for (const Rule &rule : rules) {
        if (std::regex_search(fileName, rule.regex))
            return &rule;
    }
    return nullptr;
}

bool ServiceOptions::acceptsLogin(const std::string &login, const std::string &password) const
{
    if (!checkLogins)
        return true;
    const auto it = users.find(login);
    return it != users.end() && it->second == password;
}

bool parseRule(const QString &text, Rule &rule, QString &error)
{
    const qsizetype equals = text.lastIndexOf(QLatin1Char('='));
    if (equals < 0) {
        error = QStringLiteral("rule \"") + text + QStringLiteral("\" has no \"=OUTCOME\"");
        return false;
    }
    QString outcome = text.mid(equals + 1).trimmed().toLower();
    rule.times = 0;
    if (const qsizetype star = outcome.indexOf(QLatin1Char('*')); star >= 0) {
        bool ok = false;
        rule.times = outcome.mid(star + 1).toInt(&ok);
        if (!ok || rule.times < 1) {
            error = QStringLiteral("rule \"") + text + QStringLiteral("\": expected a count of 1 or more after \"*\"");
            return false;
        }
        outcome.truncate(star);
    }
    const auto parsed = outcomeFromName(outcome.toStdString());
    if (!parsed || *parsed == Outcome::Ok) {
        error = QStringLiteral("rule \"") + text + QStringLiteral("\": unknown outcome \"") + outcome
            + QStringLiteral("\" (warning, error, http500, http404, http429, http502, http503, html200, drop, "
                             "hang, slow, trickle, redirect307 or redirect302)");
        return false;
    }
    rule.pattern = text.left(equals).toStdString();
    rule.outcome = *parsed;
    try {
        rule.regex = std::regex(rule.pattern, std::regex::ECMAScript);
    } catch (const std::regex_error &e) {
        error = QStringLiteral("rule \"") + text + QStringLiteral("\": invalid regular expression: ")
            + QString::fromLocal8Bit(e.what());
        return false;
    }
    return true;
}

bool loadUsers(const QString &path, std::map<std::string, std::string> &users, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the users file ") + path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    int number = 0;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        ++number;
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon < 0) {
            error = path + QStringLiteral(":") + QString::number(number) + QStringLiteral(": expected login:password");
            return false;
        }
        users[line.left(colon).toStdString()] = line.mid(colon + 1).toStdString();
    }
    return true;
}

CommandLine parseCommandLine(const QStringList &arguments, ServiceOptions &options, QString &message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A stand-in photo-sharing service for demonstrations and tests. It accepts the uploader's multipart\n"
        "POST on /index.php, stores each picture under DIR/<event>/, logs one JSON line per upload to\n"
        "DIR/uploads.jsonl and lists the pictures on GET /. It listens on 127.0.0.1 only.\n"
        "Rule outcomes: warning, error, http500, http404, http502, http429 and http503 (both with\n"
        "Retry-After: 1), html200 (a 200 with a web page, as a hotspot's login), drop (close without a\n"
        "reply), hang (never answer), slow (answer after 5 seconds), trickle (an answer that dribbles out,\n"
        "one byte every half second), redirect307 and redirect302 (answer with that status and the Location\n"
        "/redirected/index.php, which takes the upload as /index.php does). OUTCOME*N gives the outcome to\n"
        "the first N requests for a file name only; later ones are answered as usual.\n"
        "HEAD /index.php answers 200 with no body.\n"
        "With --tls-cert and --tls-key it serves HTTPS instead of HTTP. --latency and --rate model a venue's\n"
        "link: every answer is held back by the latency, and request bodies are read no faster than the rate."));
    const QCommandLineOption help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version and exits."));
    const QCommandLineOption port(QStringLiteral("port"),
        QStringLiteral("Port on 127.0.0.1 to listen on; 0 picks a free one (the default)."), QStringLiteral("N"));
    const QCommandLineOption storage(QStringLiteral("storage"),
        QStringLiteral("Folder that receives the pictures and uploads.jsonl (required)."), QStringLiteral("DIR"));
    const QCommandLineOption users(QStringLiteral("users"),
        QStringLiteral("Accept only these logins: lines login:password; # starts a comment."), QStringLiteral("FILE"));
    const QCommandLineOption rule(QStringLiteral("rule"),
        QStringLiteral("Force OUTCOME for uploads whose file name matches REGEX (ECMAScript, searched). "
                       "Repeatable; the first match wins."),
        QStringLiteral("REGEX=OUTCOME"));
    const QCommandLineOption tlsCert(QStringLiteral("tls-cert"),
        QStringLiteral("Serve HTTPS with this PEM certificate (chain); needs --tls-key."), QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(
        QStringLiteral("tls-key"), QStringLiteral("The PEM private key of --tls-cert."), QStringLiteral("FILE"));
    const QCommandLineOption latency(QStringLiteral("latency"),
        QStringLiteral("Hold every answer back by MS milliseconds, as a round trip would (default 0)."),
        QStringLiteral("MS"));
    const QCommandLineOption rate(QStringLiteral("rate"),
        QStringLiteral("Read request bodies no faster than KBIT kilobits (1000 bits) per second (default: unlimited)."),
        QStringLiteral("KBIT"));
    parser.addOptions({ help, version, port, storage, users, rule, tlsCert, tlsKey, latency, rate });

    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return CommandLine::Invalid;
    }
    if (parser.isSet(help)) {
        // Qt's usage line names the program as it was called (a path); ours names the command.
        const QString generated = parser.helpText();
        message = QStringLiteral("Usage: vesk-photo-service --storage DIR [--port N] [--users FILE] "
                                 "[--rule REGEX=OUTCOME]... [--tls-cert FILE --tls-key FILE] [--latency MS] "
                                 "[--rate KBIT]")
            + generated.mid(generated.indexOf(QLatin1Char('\n')))
            + QStringLiteral("\nIt runs until SIGTERM or SIGINT.\n"
                             "Exit status: 0 after a stop by SIGTERM or SIGINT (or for --help and --version), 1 when\n"
                             "the storage folder cannot be prepared or the port cannot be listened on, 2 for a bad\n"
                             "command line.\n");
        return CommandLine::Help;
    }
    if (parser.isSet(version)) {
        message = QStringLiteral("vesk-photo-service " VESK_VERSION "\n");
        return CommandLine::Version;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("unexpected argument: ") + parser.positionalArguments().constFirst();
        return CommandLine::Invalid;
    }
    if (parser.isSet(port)) {
        bool ok = false;
        options.port = parser.value(port).toInt(&ok);
        if (!ok || options.port < 0 || options.port > 65535) {
            message = QStringLiteral("invalid port: ") + parser.value(port);
            return CommandLine::Invalid;
        }
    }
    options.storage = parser.value(storage);
    if (options.storage.isEmpty()) {
        message = QStringLiteral("--storage DIR is required");
        return CommandLine::Invalid;
    }
    if (parser.isSet(users)) {
        options.checkLogins = true;
        if (!loadUsers(parser.value(users), options.users, message))
            return CommandLine::Invalid;
    }
    options.tlsCertificate = parser.value(tlsCert);
    options.tlsKey = parser.value(tlsKey);
    if (options.tlsCertificate.isEmpty() != options.tlsKey.isEmpty()) {
        message = QStringLiteral("--tls-cert and --tls-key go together");
        return CommandLine::Invalid;
    }
    if (parser.isSet(latency)) {
        bool ok = false;
        options.latencyMs = parser.value(latency).toInt(&ok);
        if (!ok || options.latencyMs < 0 || options.latencyMs > 60'000) {
            message = QStringLiteral("invalid latency (0 to 60000 ms): ") + parser.value(latency);
            return CommandLine::Invalid;
        }
    }
    if (parser.isSet(rate)) {
        bool ok = false;
        options.rateKbit = parser.value(rate).toLongLong(&ok);
        if (!ok || options.rateKbit < 1 || options.rateKbit > 100'000'000) {
            message = QStringLiteral("invalid rate (1 to 100000000 kbit/s): ") + parser.value(rate);
            return CommandLine::Invalid;
        }
    }
    for (const QString &text : parser.values(rule)) {
        Rule parsed;
        if (!parseRule(text, parsed, message))
            return CommandLine::Invalid;
        options.rules.push_back(std::move(parsed));
    }
    return CommandLine::Run;
}

} // namespace vesk::service
