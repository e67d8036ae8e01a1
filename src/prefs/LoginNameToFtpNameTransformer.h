#pragma once
// The site address shown in the preference panel for a login name.

#include <QString>

#include <optional>

namespace vesk {

// The photo service's domain; a login's site is http://<login>.<domain>.
inline constexpr const char *kServiceDomain = "vesk-photos.example";

class LoginNameToFtpNameTransformer {
public:
    static constexpr const char *kRegisteredName = "LoginNameToFtpName";
    static bool allowsReverseTransformation() { return false; }
    static QString transformedValue(const std::optional<QString> &loginName);
};

} // namespace vesk
