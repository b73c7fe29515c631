#include "logging.h"

namespace fortune {
Q_LOGGING_CATEGORY(lcDownload, "fortune.download", QtWarningMsg)
} // namespace fortune
