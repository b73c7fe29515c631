#pragma once
// Small helpers the tests share: files, their records, and recorded boxes.
#if __has_include("fortunesfile.h") // tests that link the collection
#include "fortunesfile.h"
#define TESTUTIL_COLLECTION
#endif

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <optional>

namespace testutil {

inline bool writeFile(const QString &path, QByteArrayView bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && file.write(bytes.data(), bytes.size()) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs a program to its end; code -1 when it crashed or did not end in time.
struct Ran {
    int code = -1;
    QByteArray out, err;
};

inline Ran run(const QString &program, const QStringList &args,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 120'000)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    const bool ended = process.waitForFinished(timeoutMs);
    if (!ended)
        process.kill(), process.waitForFinished();
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), ended ? process.readAllStandardError() : "did not finish in time"};
}

#ifdef TESTUTIL_COLLECTION
inline const QByteArray kSep = fortune::kSeparator.toByteArray();

// The file's records as the loader reads them.
inline QList<QByteArray> recordsOf(const QString &path)
{
    fortune::FortuneList list;
    fortune::loadFortunesFile(path, list);
    QList<QByteArray> out;
    for (qsizetype i = 0; i < list.count(); ++i)
        out << list.rawAt(i).toByteArray();
    return out;
}

// A well-formed fortunes file holding these one-line texts.
inline QByteArray fortunesFile(const QList<QByteArray> &texts)
{
    QByteArray data;
    for (const QByteArray &text : texts)
        data += text + "\r\n" + kSep + "\r\n";
    return data;
}
#endif

#ifdef FIXTURES_DIR
inline QString fixture(const char *name)
{
    return QStringLiteral(FIXTURES_DIR "/") + QLatin1String(name);
}
#endif

} // namespace testutil

#if __has_include("dialogs.h")
#include "dialogs.h"

// Stands in for the window's boxes: records what it was shown and answers the
// input box from a script (nullopt, or an empty script, presses Cancel).
class RecordingDialogs : public fortune::Dialogs {
public:
    void showMessage(const QString &text) override { messages << text; }
    QString askText(const QString &prompt, bool *ok) override
    {
        prompts << prompt;
        const std::optional<QString> answer = answers.isEmpty() ? std::nullopt : answers.takeFirst();
        *ok = answer.has_value();
        return answer.value_or(QString());
    }
    QStringList messages, prompts;
    QList<std::optional<QString>> answers;
};
#endif
