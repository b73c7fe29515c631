#include "sitelog.h"

namespace fortune::site {
Q_LOGGING_CATEGORY(lcSite, "fortune.site", QtWarningMsg)
Q_LOGGING_CATEGORY(lcClients, "fortune.site.clients", QtWarningMsg)
} // namespace fortune::site
