#pragma once
// Why libzip failed, in German: the reasons a user meets in words of their own, with the system's
// reason where libzip names one; any other with libzip's own text in parentheses.

#include <zip.h>

#include <exception>
#include <stdexcept>
#include <string>

namespace zip32 {

// A failure of the compression library; what() is the reason to show.
class CompressionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string zipReason(zip_error_t& error);
// The reason of the last error of an open archive or of an entry being read.
std::string zipReason(zip_t* archive);
std::string zipReason(zip_file_t* file);

// Why an exception stopped a step: "zu wenig Arbeitsspeicher" only for a lack of memory, the
// system's reason for a failed system call (a thread that cannot be started), the library's for
// a failure of compression.
std::string exceptionReason(const std::exception& error);

}  // namespace zip32
