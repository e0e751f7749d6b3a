#pragma once
// The run-time error of this system: a number, a source and a description. The string list and
// the archiver component raise it; everything else returns results.

#include <cstdint>
#include <stdexcept>
#include <string>

class RuntimeError : public std::runtime_error {
public:
    RuntimeError(int32_t number, std::string source, std::string description)
        : std::runtime_error(description.empty() ? "error " + std::to_string(number) : description),
          number_(number),
          source_(std::move(source)),
          description_(std::move(description)) {}

    int32_t number() const { return number_; }
    const std::string& source() const { return source_; }            // UTF-8, may be empty
    const std::string& description() const { return description_; }  // UTF-8, may be empty

private:
    int32_t number_;
    std::string source_;
    std::string description_;
};
