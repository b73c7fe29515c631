#pragma once

#include <QLoggingCategory>

namespace fortune::site {
// The files served and the listening socket: warnings show; what was read
// again with QT_LOGGING_RULES="fortune.site.info=true".
Q_DECLARE_LOGGING_CATEGORY(lcSite)
// One line for each client refused, evicted or timed out, with
// QT_LOGGING_RULES="fortune.site.clients.info=true".
Q_DECLARE_LOGGING_CATEGORY(lcClients)
} // namespace fortune::site
