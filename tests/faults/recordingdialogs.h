#pragma once

#include "dialogs.h"

#include <QStringList>

// Stands in for the window's message and input boxes: records every message,
// answers every question with Cancel.
class RecordingDialogs : public fortune::Dialogs {
public:
    void showMessage(const QString &text) override { messages << text; }
    QString askText(const QString &, bool *ok) override
    {
        *ok = false;
        return {};
    }
    QStringList messages;
};
