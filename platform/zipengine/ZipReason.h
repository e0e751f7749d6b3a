// Why libzip failed, in German: the reasons a user meets in words of their own, with the system's
// reason where libzip names one; any other with libzip's own text in parentheses.
#ifndef SONDREL_ZIPENGINE_ZIPREASON_H
#define SONDREL_ZIPENGINE_ZIPREASON_H

#include <zip.h>

#include <string>

namespace zip32 {

std::string zipReason(zip_error_t& error);
// The reason of the last error of an open archive or of an entry being read.
std::string zipReason(zip_t* archive);
std::string zipReason(zip_file_t* file);

}  // namespace zip32

#endif
