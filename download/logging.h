#pragma once

#include <QLoggingCategory>

namespace fortune {
// Download diagnostics; quiet unless enabled with QT_LOGGING_RULES="fortune.download.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
} // namespace fortune
