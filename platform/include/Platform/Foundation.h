// Foundation stand-ins: the log facility and error values.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>

// One line per message on standard error, behind a date/time/program/[pid:tid]
// prefix, written with a single write call so lines of different threads never
// interleave. printf-style format; a trailing line feed is not needed.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void NSLogv(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Error value: domain, code and a human-readable description (empty when the
// error has none).
struct NSError {
    std::string domain;
    long code = 0;
    std::string localizedDescription;
};
using NSErrorPtr = std::shared_ptr<const NSError>;

inline NSErrorPtr makeError(std::string domain, long code, std::string description = {}) {
    return std::make_shared<const NSError>(NSError{std::move(domain), code, std::move(description)});
}

// Domain of errors that carry a platform status code.
inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";
