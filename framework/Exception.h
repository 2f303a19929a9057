// Failures of the system are exceptions derived from Exception, carrying a UTF-8 message.
// Handlers that Qt calls run through fw::guard (Application.h), which turns an escaping
// exception into the error box; nothing else catches them.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// Defines a named exception that adds nothing to its base.
#define TAVOLEN_EXCEPTION(Name, Base)                                  \
    class Name : public Base {                                         \
    public:                                                            \
        explicit Name(const std::string& message) : Base(message) {}   \
    }

TAVOLEN_EXCEPTION(EMCIDeviceError, Exception);   // media device: not open, open refused
TAVOLEN_EXCEPTION(EInvalidOperation, Exception); // a property value refused by its control
TAVOLEN_EXCEPTION(EConvertError, Exception);     // text that is not an integer
TAVOLEN_EXCEPTION(EStreamError, Exception);
TAVOLEN_EXCEPTION(EFOpenError, EStreamError);    // "ファイル %s は開けません"
TAVOLEN_EXCEPTION(EFCreateError, EStreamError);  // "ファイル %s を作成できません"
TAVOLEN_EXCEPTION(EWriteError, EStreamError);    // "ストリームへの書き込みエラー"
TAVOLEN_EXCEPTION(EStringListError, Exception);  // list index out of range, line not inserted
TAVOLEN_EXCEPTION(EOutOfResources, Exception);   // "タイマーを取得できません"

namespace fw {

// printf-style formatting into a UTF-8 string (the library has no <format> on this compiler).
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fw
