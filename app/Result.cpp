#include "app/Result.h"

#include "platform/SystemReason.h"

QString SystemReason(int error) {
    return QString::fromStdString(platform::systemReason(error));
}
