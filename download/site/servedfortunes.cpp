#include "servedfortunes.h"

#include "classicfile.h"
#include "growingfile.h"
#include "responsereader.h"
#include "sitelog.h"
#include "sitepage.h"

namespace fortune::site {

namespace {

// Pages from this size on are built once and shared between answers.
constexpr qsizetype kSharedPageFrom = 64 * 1024;

enum class Unserved { No, Empty, Nul, TooLarge };

// A page carries some text, and a collector takes it: no NUL, not too large.
Unserved whyNotServed(QByteArrayView text)
{
    if (isEmptyFortune(text))
        return Unserved::Empty;
    if (text.contains('\0'))
        return Unserved::Nul;
    return answerFits(text) ? Unserved::No : Unserved::TooLarge;
}

} // namespace

struct ServedFortunes::Source {
    QString path;
    PathLook seen;          // what the path showed when it was last read
    bool ownFormat = false; // read once in this program's format: never read as a classic file
    GrowingFile follower;   // while it is UTF-8 in this program's format
    std::unique_ptr<FortuneList> list = std::make_unique<FortuneList>();
    std::vector<bool> unserved; // by record, up to the last one not served
    qsizetype servable = 0;
    quint64 reading = 0; // raised each time the list is read anew
    bool served(qsizetype i) const { return size_t(i) >= unserved.size() || !unserved[size_t(i)]; }
};

ServedFortunes::ServedFortunes(bool sequential)
    : m_sequential(sequential), m_random(QRandomGenerator::system()->generate())
{
}

ServedFortunes::~ServedFortunes() = default;

QString ServedFortunes::load(const QStringList &paths)
{
    m_sources.clear();
    m_pages = {};
    for (const QString &path : paths) {
        auto &source = m_sources.emplace_back(std::make_unique<Source>());
        source->path = path;
        source->seen = lookAtPath(path);
        if (QString problem = read(*source); !problem.isEmpty())
            return problem;
    }
    recount();
    if (m_servable == 0)
        return paths.size() == 1 ? QStringLiteral("%1 holds no fortunes").arg(paths[0])
                                 : QStringLiteral("these files hold no fortunes");
    return {};
}

// Reads what the file holds now, or what it gained; an empty text, or what is wrong.
QString ServedFortunes::read(Source &source)
{
    OpenFile file;
    if (!file.open(source.path, OpenFile::Mode::Read))
        return file.message(FileAccess::Read);
    const qint64 size = file.size();
    if (size < 0)
        return file.message(FileAccess::Read);
    if (encodingOf(file).kind != TextEncoding::Kind::Utf8)
        return readClassic(source);
    const bool fromStart = !source.follower.opened(file.id()) || source.follower.resumeAt() < 0;
    auto got = std::make_unique<FortuneList>();
    const GrowingFile::Look look = source.follower.look(file, size, *got);
    if (look.result.outcome == LoadResult::Outcome::Failed)
        return look.result.error;
    if (look.result.outcome == LoadResult::Outcome::Full)
        qCWarning(lcSite).noquote() << look.result.error;
    if (!source.ownFormat && source.follower.resumeAt() < 0)
        return readClassic(source); // no separator line: a classic file
    source.ownFormat = true;
    if (fromStart || look.startedOver) {
        replace(source, std::move(got));
        qCInfo(lcSite) << "read" << source.path << "whole:" << source.list->count() << "fortunes";
        return {};
    }
    const qsizetype before = source.list->count();
    for (qsizetype i = look.firstNew; i < got->count(); ++i) {
        if (!source.list->store(got->rawAt(i)).ok())
            break; // full: what fits is served
    }
    sortOut(source, before);
    qCInfo(lcSite) << source.path << "grew by" << source.list->count() - before << "fortunes";
    return {};
}

// A classic file, or one of this program's in UTF-16: read whole each time.
QString ServedFortunes::readClassic(Source &source)
{
    source.follower.forget();
    AnyFileLoad any = loadAnyFortunesFile(source.path);
    if (any.result.outcome == LoadResult::Outcome::Missing || any.result.outcome == LoadResult::Outcome::Failed)
        return any.result.error;
    if (any.result.outcome == LoadResult::Outcome::Full)
        qCWarning(lcSite).noquote() << any.result.error;
    source.ownFormat = source.ownFormat || !any.classic;
    replace(source, std::move(any.list));
    return {};
}

void ServedFortunes::replace(Source &source, std::unique_ptr<FortuneList> list)
{
    source.list = std::move(list);
    source.unserved.clear();
    source.servable = 0;
    ++source.reading;
    sortOut(source, 0);
}

// Counts the records from `from` on that are served, marks the others, and
// tells in one line those a collector would refuse.
void ServedFortunes::sortOut(Source &source, qsizetype from)
{
    qsizetype nul = 0, tooLarge = 0;
    for (qsizetype i = from; i < source.list->count(); ++i) {
        const Unserved why = whyNotServed(source.list->rawAt(i));
        if (why == Unserved::No) {
            ++source.servable;
            continue;
        }
        source.unserved.resize(size_t(i) + 1, false);
        source.unserved[size_t(i)] = true;
        nul += why == Unserved::Nul;
        tooLarge += why == Unserved::TooLarge;
    }
    if (nul > 0 || tooLarge > 0) {
        qCWarning(lcSite).noquote() << QStringLiteral("%1: %2 fortunes left out, as a collector refuses their pages "
                                                      "(%3 holding NUL bytes, %4 larger than %5 MiB)")
                                           .arg(shownPath(source.path))
                                           .arg(nul + tooLarge)
                                           .arg(nul)
                                           .arg(tooLarge)
                                           .arg(ResponseReader::kMaxResponse / (1024 * 1024));
    }
}

void ServedFortunes::refresh()
{
    bool changed = false;
    for (const auto &source : m_sources) {
        const PathLook now = lookAtPath(source->path);
        if (now.unchangedFrom(source->seen))
            continue;
        changed = true;
        const PathLook before = std::exchange(source->seen, now);
        if (now.size < 0) {
            // Perhaps on its way to being replaced: what it held is served meanwhile.
            qCWarning(lcSite).noquote() << source->path << "is gone; its fortunes are served until it is back";
            continue;
        }
        // Only growth is an append; a file written to otherwise was rewritten.
        if (now.size <= before.size)
            source->follower.forget();
        // When it cannot be read, what it held is served until it changes again.
        if (const QString problem = read(*source); !problem.isEmpty())
            qCWarning(lcSite).noquote() << problem;
    }
    if (changed)
        recount();
}

void ServedFortunes::recount()
{
    m_records = m_servable = 0;
    for (const auto &source : m_sources) {
        m_records += source->list->count();
        m_servable += source->servable;
    }
}

ServedFortunes::Pick ServedFortunes::pick()
{
    refresh();
    if (m_servable == 0)
        return {};
    // Records it does not serve are passed over: every fortune served is as likely.
    for (;;) {
        qsizetype index = m_sequential ? m_next++ % m_records : qsizetype(m_random.bounded(quint64(m_records)));
        for (const auto &source : m_sources) {
            if (index < source->list->count()) {
                if (source->served(index))
                    return {source.get(), index};
                break;
            }
            index -= source->list->count();
        }
    }
}

QByteArrayView ServedFortunes::textOf(const Pick &picked) const
{
    return picked.source->list->rawAt(picked.index);
}

std::optional<QByteArrayView> ServedFortunes::next()
{
    const Pick picked = pick();
    if (!picked.source)
        return std::nullopt;
    return textOf(picked);
}

std::optional<QByteArray> ServedFortunes::nextPage()
{
    const Pick picked = pick();
    if (!picked.source)
        return std::nullopt;
    const QByteArrayView text = textOf(picked);
    if (text.size() < kSharedPageFrom)
        return fortunePage(text);
    for (const SharedPage &shared : m_pages) {
        if (shared.source == picked.source && shared.reading == picked.source->reading && shared.index == picked.index)
            return shared.page;
    }
    SharedPage &slot = m_pages[m_nextPage++ % m_pages.size()];
    slot = {picked.source, picked.source->reading, picked.index, fortunePage(text)};
    return slot.page;
}

} // namespace fortune::site
