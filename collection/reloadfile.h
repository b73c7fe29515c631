#pragma once

#include "fortunelist.h"

namespace fortune {

// The hidden extraction test leaves the reload file holding one separator line.
// Written to a temporary file and renamed over the old one, so a failure
// (no such directory, no permission, a full disk) leaves the old file as it was
// and comes back as the error.
Status rewriteReloadFile(const QString &path);

} // namespace fortune
