#pragma once
// Result<T>: what a core operation gives back, its value or why it failed. The reason is German
// and whole, ready for a message or a line on stderr; a caller adds context in front of it, never
// a second reason of its own. This is the one way the core (app/) says that something failed.
//
//     Result<QStringList> stored = ReadStoredBackupList();
//     if (!stored) { Tell(stored.Reason()); return; }
//     use(*stored);
//
// Failure{sReason} converts to a failed Result of any type.

#include <QString>
#include <optional>
#include <utility>

struct Failure {
    QString sReason;
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : sReason_(std::move(failure.sReason)) {}

    bool Ok() const { return value_.has_value(); }
    explicit operator bool() const { return Ok(); }
    /// Only after Ok().
    const T& operator*() const& { return *value_; }
    T& operator*() & { return *value_; }
    const T* operator->() const { return &*value_; }
    T ValueOr(T fallback) const { return value_.value_or(std::move(fallback)); }
    /// Empty when Ok().
    const QString& Reason() const { return sReason_; }

private:
    std::optional<T> value_;
    QString sReason_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : bFailed_(true), sReason_(std::move(failure.sReason)) {}

    bool Ok() const { return !bFailed_; }
    explicit operator bool() const { return Ok(); }
    const QString& Reason() const { return sReason_; }

private:
    bool bFailed_ = false;
    QString sReason_;
};

/// The German reason of a system error number (platform/SystemReason.h), for a Failure.
QString SystemReason(int error);
