#pragma once
// Small helpers the tests share: files, their records, and recorded boxes.
#if __has_include("fortunesreader.h") // tests that link the collection
#include "collectionfile.h"
#include "fortunesreader.h"
#define TESTUTIL_COLLECTION
#endif

#include <QFile>
#include <QProcess>
#include <QStringDecoder>
#include <QStringList>

#include <optional>
#include <utility>

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

// The list's records; a file's as the loader reads them.
inline QList<QByteArray> recordsOf(const fortune::FortuneList &list)
{
    QList<QByteArray> out;
    for (qsizetype i = 0; i < list.count(); ++i)
        out << list.rawAt(i).toByteArray();
    return out;
}

inline QList<QByteArray> recordsOf(const QString &path)
{
    fortune::FortuneList list;
    fortune::loadFortunesFile(path, list);
    return recordsOf(list);
}

// The reading rules written out the plain way, line by line: the reference the
// reader is checked against. A line ends at an LF or at the end of the file,
// either way without one CR right before that end; a byte-order mark is not
// text. tail, when given, gets the bytes after the last separator line.
inline QList<QByteArray> plainRecords(QByteArrayView file, QByteArray *tail = nullptr)
{
    QByteArray text = file.toByteArray();
    if (text.startsWith("\xFF\xFE") || text.startsWith("\xFE\xFF")) {
        QStringDecoder utf16(text[0] == '\xFF' ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        text = QString(utf16(text.sliced(2))).toUtf8();
    } else if (text.startsWith("\xEF\xBB\xBF")) {
        text.remove(0, 3);
    }
    QList<QByteArray> records;
    QByteArray record;
    qsizetype pos = 0, tailStart = 0;
    while (pos < text.size()) {
        const qsizetype lf = text.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? text.size() : lf;
        QByteArray line = text.sliced(pos, end - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        pos = end + 1;
        if (line == kSep) {
            records << std::exchange(record, {});
            tailStart = std::min(pos, text.size());
        } else {
            record += line + "\r\n";
        }
    }
    if (tail)
        *tail = text.sliced(tailStart);
    return records;
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
// input box from a script (nullopt, or an empty script, presses Cancel), and
// questions from another (an empty one answers No).
class RecordingDialogs : public fortune::Dialogs {
public:
    void showMessage(const QString &text) override { messages << text; }
    QString askText(const QString &prompt, bool *ok, const QString &text = {}) override
    {
        prompts << prompt;
        shownTexts << text;
        const std::optional<QString> answer = answers.isEmpty() ? std::nullopt : answers.takeFirst();
        *ok = answer.has_value();
        return answer.value_or(QString());
    }
    bool askYesNo(const QString &question) override
    {
        messages << question;
        return !yes.isEmpty() && yes.takeFirst();
    }
    QStringList messages, prompts, shownTexts;
    QList<std::optional<QString>> answers;
    QList<bool> yes;
};
#endif
