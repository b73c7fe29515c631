#include "classicfile.h"
#include "fileio.h"
#include "textdecoding.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

namespace fortune {

namespace {

constexpr qsizetype kChunk = 1024 * 1024;

// Reads a classic file line by line into a fresh list, and notices a
// separator line: then the file is one of this program's own.
class ClassicReader {
public:
    enum class Outcome { Done, OwnFormat, Full, ReadError };

    explicit ClassicReader(FortuneList &list) : m_list(list) {}
    Outcome read(OpenFile &file);

private:
    // A complete line, without its LF.
    bool line(QByteArrayView text)
    {
        if (text.size() >= kSeparator.size() && text[0] == kSeparator[0] && isSeparatorLine(text)) {
            m_outcome = Outcome::OwnFormat;
            return false;
        }
        if (text.endsWith('\r'))
            text.chop(1);
        if (text.size() == 1 && text[0] == '%')
            return closeFortune();
        if (m_used + text.size() + 2 > qsizetype(m_fortune.size()))
            m_fortune.resize(std::max(2 * m_fortune.size(), size_t(m_used + text.size() + 2)));
        std::memcpy(m_fortune.data() + m_used, text.data(), size_t(text.size()));
        m_used += text.size();
        std::memcpy(m_fortune.data() + m_used, kCrLf.data(), 2);
        m_used += 2;
        return true;
    }

    bool closeFortune()
    {
        const QByteArrayView fortune(m_fortune.data(), m_used);
        m_used = 0;
        if (isEmptyFortune(fortune))
            return true;
        if (m_list.isFull()) {
            m_outcome = Outcome::Full;
            return false;
        }
        m_list.store(isValidUtf8(fortune) ? fortune : QByteArrayView(decodeFortune(fortune).toUtf8()));
        return true;
    }

    FortuneList &m_list;
    std::vector<char> m_fortune = std::vector<char>(4096); // the one being read, in the stored form
    qsizetype m_used = 0;
    Outcome m_outcome = Outcome::Done;
};

ClassicReader::Outcome ClassicReader::read(OpenFile &file)
{
    QByteArray buffer(kChunk, Qt::Uninitialized);
    qsizetype have = 0;
    // Only a UTF-8 mark is left out; a classic file is never UTF-16.
    const TextEncoding encoding = encodingOf(file);
    qint64 at = encoding.kind == TextEncoding::Kind::Utf8 ? encoding.markSize : 0;
    for (;;) {
        const qint64 got = file.readAt(at, buffer.data() + have, buffer.size() - have);
        if (got < 0)
            return Outcome::ReadError;
        at += got;
        const qsizetype filled = have + qsizetype(got);
        qsizetype from = 0;
        if (got == 0) {
            // The end of the file ends the last line, and the last fortune.
            const QByteArrayView rest(buffer.constData(), filled);
            if (!rest.isEmpty() && rest != "\r" && !line(rest))
                return m_outcome;
            return closeFortune() ? Outcome::Done : m_outcome;
        }
        const char *data = buffer.constData();
        while (const void *found = std::memchr(data + from, '\n', size_t(filled - from))) {
            const qsizetype lf = static_cast<const char *>(found) - data;
            if (!line(QByteArrayView(data + from, lf - from)))
                return m_outcome;
            from = lf + 1;
        }
        have = filled - from;
        std::memmove(buffer.data(), buffer.constData() + from, size_t(have));
        if (have == buffer.size()) // one very long line: make room for more of it
            buffer.resize(2 * buffer.size());
    }
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// The classic file's lines of one stored fortune: UTF-8, LF after every line.
// False when a line would end the fortune early.
bool appendClassic(QByteArray &out, QByteArrayView text)
{
    QByteArray decoded;
    if (!isValidUtf8(text)) {
        decoded = decodeFortune(text).toUtf8();
        text = decoded;
    }
    while (!text.isEmpty()) {
        const qsizetype lf = text.indexOf('\n');
        QByteArrayView line = lf < 0 ? text : text.first(lf);
        text = lf < 0 ? QByteArrayView() : text.sliced(lf + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        // A reader that takes CR LF line ends sees "%\r" as "%" too.
        if (line == "%" || line == "%\r")
            return false;
        out.append(line.data(), line.size());
        out.append('\n');
    }
    out.append("%\n", 2);
    return true;
}

} // namespace

AnyFileLoad loadAnyFortunesFile(const QString &path)
{
    AnyFileLoad load;
    load.list = std::make_unique<FortuneList>();
    OpenFile file;
    // What is not there, not a file or not to be opened, the loader refuses
    // in its own words.
    if (!file.open(path, OpenFile::Mode::Read)) {
        load.result = loadFortunesFile(path, *load.list);
        return load;
    }
    try {
        // A lone LF becomes CR LF; what is reserved but never written costs
        // address space only.
        load.list->reserveBytes(qsizetype(file.size() + file.size() / 2));
        switch (ClassicReader(*load.list).read(file)) {
        case ClassicReader::Outcome::Done:
            load.classic = true;
            break;
        case ClassicReader::Outcome::OwnFormat:
            file.close();
            load.list = std::make_unique<FortuneList>();
            load.result = loadFortunesFile(path, *load.list);
            return load;
        case ClassicReader::Outcome::Full:
            load.classic = true;
            load.result.outcome = LoadResult::Outcome::Full;
            load.result.error = listFullMessage(path);
            break;
        case ClassicReader::Outcome::ReadError:
            load.list = std::make_unique<FortuneList>();
            load.result.outcome = LoadResult::Outcome::Failed;
            load.result.error = file.message(FileAccess::Read);
            return load;
        }
    } catch (const std::bad_alloc &) {
        load.list = std::make_unique<FortuneList>();
        load.result.outcome = LoadResult::Outcome::Failed;
        load.result.error = fileMessage(FileAccess::Read, FileProblem::NoMemory, path);
        return load;
    }
    load.result.stored = load.list->count();
    return load;
}

ClassicExport exportClassicFile(const FortuneList &list, const QString &target, const QString &source)
{
    ClassicExport done;
    const auto failed = [&](const QString &why) {
        done = ClassicExport{};
        done.error = QStringLiteral("Could not write the classic fortune file \"%1\": %2").arg(shown(target), why);
        return done;
    };
    std::error_code unknown; // a file that is not there is no other file
    if (!source.isEmpty()
        && std::filesystem::equivalent(QFileInfo(target).filesystemFilePath(),
                                       QFileInfo(source).filesystemFilePath(), unknown)) {
        return failed(QStringLiteral("it is the fortunes file \"%1\" itself.").arg(shown(source)));
    }

    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return failed(file.errorString() + QLatin1Char('.'));
    QByteArray out;
    out.reserve(kChunk + 64 * 1024);
    const auto flush = [&] {
        const bool ok = file.write(out) == out.size();
        out.resize(0);
        return ok;
    };
    for (qsizetype i = 0; i < list.count(); ++i) {
        const QByteArrayView text = list.rawAt(i);
        if (isEmptyFortune(text))
            continue;
        const qsizetype mark = out.size();
        if (appendClassic(out, text)) {
            ++done.written;
        } else {
            out.truncate(mark);
            ++done.leftOut;
        }
        if (out.size() >= kChunk && !flush())
            break;
    }
    if (!flush() || !file.commit())
        return failed(file.errorString() + QLatin1Char('.'));
    return done;
}

} // namespace fortune
