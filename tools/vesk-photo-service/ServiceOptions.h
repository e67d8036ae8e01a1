#pragma once
// The service's command line: port, storage folder, accepted logins and the rules that force an outcome.

#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::service {

enum class Outcome {
    Ok,
    Warning,
    Error,
    Http500,
    Drop,
    Hang,
    Slow,
    Trickle,
    Redirect307,
    Redirect302,
    Http404,
    Http429,
    Http502,
    Http503,
    Html200,
};

const char *outcomeName(Outcome outcome);
std::optional<Outcome> outcomeFromName(std::string_view name);

// A --rule: the first rule whose pattern is found in the uploaded file name decides the outcome.
struct Rule {
    std::string pattern;
    std::regex regex;
    Outcome outcome = Outcome::Ok;
    int times = 0; // "OUTCOME*N": only the first N requests for a file name get the outcome; 0: every one
};

struct ServiceOptions {
    int port = 0;
    QString storage;
    bool checkLogins = false; // set by --users
    std::map<std::string, std::string> users; // login -> password
    std::vector<Rule> rules;
    QString tlsCertificate, tlsKey; // both set: HTTPS
    int latencyMs = 0; // the link model
    qint64 rateKbit = 0;

    // The rule for a file name (UTF-8, as sent), or none.
    const Rule *ruleFor(const std::string &fileName) const;
    bool acceptsLogin(const std::string &login, const std::string &password) const;
};

// "REGEX=OUTCOME" or "REGEX=OUTCOME*N", split at the last "="; the regular expression is ECMAScript.
bool parseRule(const QString &text, Rule &rule, QString &error);
// Lines "login:password"; blank lines and lines starting with "#" are skipped.
bool loadUsers(const QString &path, std::map<std::string, std::string> &users, QString &error);

enum class CommandLine { Run, Help, Version, Invalid };

// Parses the arguments (program name first). Help and Version leave the text to print in message; Invalid
// leaves the reason.
CommandLine parseCommandLine(const QStringList &arguments, ServiceOptions &options, QString &message);

} // namespace vesk::service
