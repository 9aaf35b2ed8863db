#pragma once
// The account page's texts in English and Chinese, and which of the two a browser gets.

#include <string>
#include <string_view>

namespace provider::page {

enum class Lang { En, Zh };

enum class Text {
    Title,
    SignInHeading,
    Name,
    Password,
    SignIn,
    SignOut,
    WrongLogin,
    SlowedLogin,  // followed by the seconds
    FormExpired,
    Hosts,
    NoHosts,
    Address4,
    Address6,
    None,
    Changed,
    Never,
    History,
    When,
    Family,
    Address,
    Publication,
    NotPublished,
    Pending,
    Published,
    Superseded,
    NoZone,
    Failing,
    Tokens,
    NoTokens,
    Created,
    LastUsed,
    Revoke,
    NewToken,
    TokenShown,  // the new token, shown once
    TokenHowTo,
    TokenLimit,
    ChangePassword,
    CurrentPassword,
    NewPassword,
    RepeatPassword,
    PasswordChanged,
    PasswordMismatch,
    PasswordShort,
    WrongPassword,
    Busy,
    StoreFailed,
    Language,
};

const char* T(Lang lang, Text text);
// The `lang` parameter or cookie when it names one ("en", "zh"), else the first of Accept-Language's
// languages that is one of the two (English when none is).
Lang Choose(std::string_view wanted, std::string_view acceptLanguage);
const char* Code(Lang lang);  // "en", "zh-CN"

}  // namespace provider::page
