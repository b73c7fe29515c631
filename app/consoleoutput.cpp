#include "consoleoutput.h"

#include <QIODevice>

namespace fortune {

namespace {

QString oneLine(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

} // namespace

bool writeAll(QIODevice &device, QByteArrayView bytes)
{
    return device.write(bytes.data(), bytes.size()) == bytes.size();
}

int fail(QIODevice &err, const QString &message, int code)
{
    writeAll(err, QStringLiteral("fortune-collector: %1\n").arg(oneLine(message)).toUtf8());
    return code;
}

int print(QIODevice &out, QIODevice &err, QByteArrayView bytes)
{
    return writeAll(out, bytes) ? 0 : outputFailed(out, err);
}

int outputFailed(QIODevice &out, QIODevice &err)
{
    return fail(err, QStringLiteral("cannot write the output: %1").arg(out.errorString()));
}

} // namespace fortune
