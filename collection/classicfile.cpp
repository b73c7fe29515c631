#include "classicfile.h"
#include "fileio.h"
#include "textdecoding.h"


#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace fortune {

namespace {

constexpr qsizetype kChunk = 1024 * 1024;

const QString kNulBytes = QStringLiteral("it holds NUL bytes (is it a binary file?)");

// The stored form of a fortune read in charset (empty: UTF-8, or else
// Windows-1252): the fortune itself, or its text put in decoded; nothing, and
// why it is left out.
std::optional<QByteArrayView> importedForm(QByteArrayView fortune, QByteArrayView charset, QByteArray &decoded,
                                           QString &why)
{
    if (fortune.contains('\0')) {
        why = kNulBytes;
        return std::nullopt;
    }
    if (charset.isEmpty() && isValidUtf8(fortune))
        return fortune;
    const std::optional<QString> text = decodeCharset(fortune, charset, &why);
    if (!text)
        return std::nullopt;
    decoded = text->toUtf8();
    return QByteArrayView(decoded);
}

// Reads a classic file line by line into a fresh list, and notices a
// separator line: then the file is one of this program's own.
class ClassicReader {
public:
    enum class Outcome { Done, OwnFormat, Full, ReadError };

    ClassicReader(FortuneList &list, QByteArrayView charset, std::vector<AnyFileLoad::LeftOut> &leftOut)
        : m_list(list), m_charset(charset), m_leftOut(leftOut)
    {
    }
    // A file with a byte-order mark is read as the mark says: a UTF-16 one
    // decoded whole first (a small file from an editor).
    Outcome read(OpenFile &file);
    // The file starts with a byte-order mark, which outweighs charset.
    bool marked() const { return m_marked; }

private:
    // Reads the lines from fill(data, max), which gives the next bytes (0 at
    // the end, -1 on failure).
    Outcome readLines(const std::function<qint64(char *, qint64)> &fill);

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
        ++m_number;
        if (isEmptyFortune(fortune))
            return true;
        if (m_list.isFull()) {
            m_outcome = Outcome::Full;
            return false;
        }
        QString why;
        if (const std::optional<QByteArrayView> form = importedForm(fortune, m_marked ? "" : m_charset, m_decoded, why))
            m_list.store(*form);
        else
            m_leftOut.push_back({m_number, why});
        return true;
    }

    FortuneList &m_list;
    const QByteArrayView m_charset;
    std::vector<AnyFileLoad::LeftOut> &m_leftOut;
    qsizetype m_number = 0; // of the fortunes closed, empty ones too
    bool m_marked = false;
    QByteArray m_decoded;
    std::vector<char> m_fortune = std::vector<char>(4096); // the one being read, in the stored form
    qsizetype m_used = 0;
    Outcome m_outcome = Outcome::Done;
};

ClassicReader::Outcome ClassicReader::read(OpenFile &file)
{
    const TextEncoding encoding = encodingOf(file);
    m_marked = encoding.markSize > 0;
    if (encoding.kind != TextEncoding::Kind::Utf8) {
        const std::optional<QByteArray> text = utf16TextOf(file, encoding, encoding.markSize);
        if (!text)
            return Outcome::ReadError;
        qsizetype at = 0;
        return readLines([&](char *data, qint64 max) {
            const qsizetype n = qsizetype(std::min<qint64>(max, text->size() - at));
            std::memcpy(data, text->constData() + at, size_t(n));
            at += n;
            return qint64(n);
        });
    }
    qint64 at = encoding.markSize;
    return readLines([&](char *data, qint64 max) {
        const qint64 got = file.readAt(at, data, max);
        at += std::max<qint64>(got, 0);
        return got;
    });
}

ClassicReader::Outcome ClassicReader::readLines(const std::function<qint64(char *, qint64)> &fill)
{
    QByteArray buffer(kChunk, Qt::Uninitialized);
    qsizetype have = 0;
    for (;;) {
        const qint64 got = fill(buffer.data() + have, buffer.size() - have);
        if (got < 0)
            return Outcome::ReadError;
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

// A file in this program's format, its records taken as the classic reader
// takes a fortune, but kept as they are without a charset (as the window
// reads them). An empty record stays, for the store to leave out and count.
AnyFileLoad loadOwnFormat(const QString &path, QByteArrayView charset)
{
    AnyFileLoad load;
    load.list = std::make_unique<FortuneList>();
    load.result = loadFortunesFile(path, *load.list);
    bool asRead = charset.isEmpty();
    for (qsizetype i = 0; asRead && i < load.list->count(); ++i)
        asRead = !load.list->rawAt(i).contains('\0');
    if (asRead)
        return load;
    const std::unique_ptr<FortuneList> read = std::exchange(load.list, std::make_unique<FortuneList>());
    QByteArray decoded;
    for (qsizetype i = 0; i < read->count(); ++i) {
        QString why;
        const QByteArrayView record = read->rawAt(i);
        if (charset.isEmpty() && !record.contains('\0'))
            load.list->store(record);
        else if (const std::optional<QByteArrayView> form = importedForm(record, charset, decoded, why))
            load.list->store(*form);
        else
            load.leftOut.push_back({i + 1, why});
    }
    load.result.stored = load.list->count();
    return load;
}

} // namespace

AnyFileLoad loadAnyFortunesFile(const QString &path, QByteArrayView charset)
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
        ClassicReader reader(*load.list, charset, load.leftOut);
        switch (reader.read(file)) {
        case ClassicReader::Outcome::Done:
            load.classic = true;
            break;
        case ClassicReader::Outcome::OwnFormat:
            file.close();
            return loadOwnFormat(path, reader.marked() ? QByteArrayView() : charset);
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

ClassicExport exportClassicFortunes(const FortuneList &list, const std::function<bool(QByteArrayView)> &write)
{
    ClassicExport done;
    QByteArray out;
    out.reserve(kChunk + 64 * 1024);
    const auto flush = [&] {
        const bool ok = out.isEmpty() || write(out);
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
            return done;
    }
    flush();
    return done;
}

} // namespace fortune
